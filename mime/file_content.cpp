#include "mime/file_content.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "mime/gmime_ptr.hpp"
#include "mime/importer.hpp"
#include "mime/text.hpp"

namespace larkfield::mime::detail {
namespace {

[[noreturn]] void fail(const std::string& name, const std::string& what, int code) {
  throw ReadError("cannot read " + name + ": " + what, code);
}

bool same_state(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reads the range in chunks and hands out the decoded bytes.
class FileContent final : public ContentSource {
 public:
  FileContent(std::shared_ptr<const MessageFile> file, std::uint64_t begin, std::uint64_t end,
              GMimeContentEncoding encoding)
      : file_(std::move(file)), pos_(begin), end_(end), encoding_(encoding) {
    // Base64 goes through our decoder (it reads on past padding inside the data, as the
    // in-memory path does); the other encodings through GMime's, as its data wrapper would.
    if (encoding_ != GMIME_CONTENT_ENCODING_DEFAULT && encoding_ != GMIME_CONTENT_ENCODING_BASE64)
      filter_.reset(g_mime_filter_basic_new(encoding_, FALSE));
  }

  std::size_t read(std::span<std::byte> buffer) override {
    while (next_ == decoded_.size()) {
      if (done_) return 0;
      refill();
    }
    const std::size_t n = std::min(buffer.size(), decoded_.size() - next_);
    std::memcpy(buffer.data(), decoded_.data() + next_, n);
    next_ += n;
    return n;
  }

 private:
  static constexpr std::size_t kChunk = 256 * 1024;

  void append(const char* data, std::size_t size) {
    const auto* b = reinterpret_cast<const std::byte*>(data);
    decoded_.insert(decoded_.end(), b, b + size);
  }

  void refill() {
    decoded_.clear();
    next_ = 0;
    if (pos_ == end_) {
      finish();
      done_ = true;
      return;
    }
    raw_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end_ - pos_)));
    const std::size_t n = file_->read_at(pos_, std::as_writable_bytes(std::span(raw_)));
    if (n == 0)
      fail(file_->name(), "the file ended before the attachment data it held when it was parsed",
           EIO);
    pos_ += n;
    if (encoding_ == GMIME_CONTENT_ENCODING_BASE64) {
      base64_.feed(std::string_view(raw_.data(), n), decoded_);
    } else if (filter_) {
      char* out = nullptr;
      gsize out_len = 0, out_prespace = 0;
      g_mime_filter_filter(filter_.get(), raw_.data(), n, 0, &out, &out_len, &out_prespace);
      append(out, out_len);
    } else {
      append(raw_.data(), n);
    }
  }

  void finish() {
    if (encoding_ == GMIME_CONTENT_ENCODING_BASE64) {
      base64_.finish(decoded_);
    } else if (filter_) {
      char* out = nullptr;
      gsize out_len = 0, out_prespace = 0;
      char none = 0;
      g_mime_filter_complete(filter_.get(), &none, 0, 0, &out, &out_len, &out_prespace);
      append(out, out_len);
    }
    // Nothing may change between parsing and the last byte.
    file_->check_unchanged();
  }

  std::shared_ptr<const MessageFile> file_;
  std::uint64_t pos_;
  std::uint64_t end_;
  GMimeContentEncoding encoding_;
  GPtr<GMimeFilter> filter_;
  text::Base64Decoder base64_;
  std::vector<char> raw_;
  Bytes decoded_;
  std::size_t next_ = 0;
  bool done_ = false;
};

}  // namespace

std::shared_ptr<MessageFile> MessageFile::open(const std::filesystem::path& path) {
  const std::string name = path.string();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int code = errno;
    fail(name, std::strerror(code), code);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    fail(name, std::strerror(code), code);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    fail(name, S_ISDIR(st.st_mode) ? "it is a folder" : "not a regular file",
         S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  return std::make_shared<MessageFile>(Token{}, fd, st, name);
}

MessageFile::~MessageFile() { ::close(fd_); }

void MessageFile::check_unchanged() const {
  struct stat now {};
  if (::fstat(fd_, &now) != 0) {
    const int code = errno;
    fail(name_, std::strerror(code), code);
  }
  if (!same_state(now, state_))
    fail(name_, "the file changed while it was being converted", ESTALE);
}

std::size_t MessageFile::read_at(std::uint64_t offset, std::span<std::byte> buffer) const {
  check_unchanged();
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n =
        ::pread(fd_, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      fail(name_, std::strerror(code), code);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::shared_ptr<ContentSource> file_content(std::shared_ptr<const MessageFile> file,
                                            std::uint64_t begin, std::uint64_t end,
                                            GMimeContentEncoding encoding) {
  return std::make_shared<FileContent>(std::move(file), begin, std::max(begin, end), encoding);
}

FileBytes::FileBytes(const MessageFile& file, std::size_t read_up_to, std::size_t head) {
  const std::uint64_t size = file.size();
  const auto read = [&](std::vector<char>& into, std::uint64_t offset, std::size_t n) {
    into.resize(n);
    if (file.read_at(offset, std::as_writable_bytes(std::span(into))) != n)
      fail(file.name(), "the file changed while it was being converted", ESTALE);
  };
  if (size <= std::max(read_up_to, head)) {
    read(head_, 0, static_cast<std::size_t>(size));
    return;
  }
  read(head_, 0, head);
  const auto tail = static_cast<std::size_t>(std::min<std::uint64_t>(kTail, size - head));
  read(tail_, size - tail, tail);
}

}  // namespace larkfield::mime::detail
