#include "convert/pipeline.hpp"

#include <pthread.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace larkfield::convert {
namespace {

bool SameTime(const timespec& a, const timespec& b) noexcept {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The heap a value holds beyond its record.
std::size_t ValueBytes(const mime::Value& value) {
  return std::visit(
      [](const auto& v) -> std::size_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::u16string>) {
          return v.capacity() * sizeof(char16_t);
        } else if constexpr (std::is_same_v<T, mime::Bytes>) {
          return v.capacity();
        } else if constexpr (std::is_same_v<T, std::vector<std::u16string>>) {
          std::size_t n = v.capacity() * sizeof(std::u16string);
          for (const auto& s : v) n += s.capacity() * sizeof(char16_t);
          return n;
        } else if constexpr (std::is_same_v<T, std::vector<mime::Bytes>>) {
          std::size_t n = v.capacity() * sizeof(mime::Bytes);
          for (const auto& b : v) n += b.capacity();
          return n;
        } else {
          return 0;
        }
      },
      value);
}

std::size_t PropertiesBytes(const std::vector<mime::Property>& properties) {
  std::size_t n = properties.capacity() * sizeof(mime::Property);
  for (const mime::Property& p : properties) n += ValueBytes(p.value);
  return n;
}

std::size_t NamedBytes(const std::vector<mime::NamedProperty>& named) {
  std::size_t n = named.capacity() * sizeof(mime::NamedProperty);
  for (const mime::NamedProperty& p : named) {
    n += ValueBytes(p.value);
    if (const auto* s = std::get_if<std::u16string>(&p.name)) n += s->capacity() * 2;
  }
  return n;
}

// What reading attachment data from the file will take: its read buffer and decoder.
constexpr std::size_t kStreamedContentBytes = 256 * 1024;

std::size_t MessageBytes(const mime::Message& m) {
  std::size_t n = sizeof(mime::Message) + PropertiesBytes(m.properties) + NamedBytes(m.named);
  n += m.recipients.capacity() * sizeof(mime::Recipient);
  for (const mime::Recipient& r : m.recipients) n += PropertiesBytes(r.properties);
  n += m.attachments.capacity() * sizeof(mime::Attachment);
  for (const mime::Attachment& a : m.attachments) {
    n += PropertiesBytes(a.properties) + NamedBytes(a.named);
    if (a.content) n += kStreamedContentBytes;
    if (a.embedded_message) n += MessageBytes(*a.embedded_message);
  }
  return n;
}

}  // namespace

FileStamp FileStamp::Of(const std::filesystem::path& file) {
  FileStamp s;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return s;
  s.ok = true;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.mode = st.st_mode;
  s.size = st.st_size;
  s.modified = st.st_mtim;
  s.changed = st.st_ctim;
  return s;
}

bool operator==(const FileStamp& a, const FileStamp& b) noexcept {
  if (a.ok != b.ok) return false;
  if (!a.ok) return true;
  return a.device == b.device && a.inode == b.inode && a.mode == b.mode && a.size == b.size &&
         SameTime(a.modified, b.modified) && SameTime(a.changed, b.changed);
}

std::size_t HeldBytes(const mime::ImportResult& imported) {
  std::size_t n = MessageBytes(imported.message);
  n += imported.warnings.capacity() * sizeof(std::string);
  for (const std::string& w : imported.warnings) n += w.capacity();
  return n;
}

ImportPipeline::ImportPipeline(std::size_t rows, std::size_t threads, Prepare prepare,
                               std::size_t memory_budget, std::size_t most_rows_ahead)
    : rows_(rows),
      prepare_(std::move(prepare)),
      budget_(memory_budget),
      ahead_(most_rows_ahead ? most_rows_ahead : 1) {
  if (threads == 0 || rows == 0) return;
  ring_.resize(ahead_);
  workers_.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) {
    try {
      workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // the ones that started do the work
    }
  }
}

ImportPipeline::~ImportPipeline() { StopWorkers(); }

void ImportPipeline::StopWorkers() noexcept {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  workers_.clear();  // joins; a worker ends once the file it reads is read
  ring_.clear();
}

void ImportPipeline::Work() {
  // Stop signals are for the run's thread, which ends the run at its next yield; a reader
  // here is never interrupted by one.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  std::unique_lock lock(mutex_);
  while (true) {
    room_.wait(lock, [this] {
      return stopping_ || next_ >= rows_ ||
             (next_ < taken_ + ahead_ && (held_ < budget_ || next_ == taken_));
    });
    if (stopping_ || next_ >= rows_) return;
    const std::size_t row = next_++;
    lock.unlock();
    PreparedRow prepared;
    try {
      prepared = prepare_(row);
    } catch (const std::exception& e) {
      prepared = PreparedRow{};
      prepared.error.emplace(mailstore::Error::Code::kFailed, e.what());
    } catch (...) {
      prepared = PreparedRow{};
      prepared.error.emplace(mailstore::Error::Code::kFailed, "The import failed");
    }
    prepared.ahead = true;
    lock.lock();
    held_ += prepared.memory;
    ring_[row % ring_.size()] = std::move(prepared);
    ready_.notify_all();
  }
}

PreparedRow ImportPipeline::Take(std::size_t row) {
  if (workers_.empty()) {
    PreparedRow prepared = prepare_(row);
    std::lock_guard lock(mutex_);
    held_ += prepared.memory;
    ++taken_;
    return prepared;
  }
  std::unique_lock lock(mutex_);
  std::optional<PreparedRow>& slot = ring_[row % ring_.size()];
  ready_.wait(lock, [&] { return slot.has_value(); });
  PreparedRow prepared = std::move(*slot);
  slot.reset();
  ++taken_;
  lock.unlock();
  room_.notify_all();
  return prepared;
}

void ImportPipeline::Release(std::size_t memory) {
  {
    std::lock_guard lock(mutex_);
    held_ = memory < held_ ? held_ - memory : 0;
  }
  room_.notify_all();
}

}  // namespace larkfield::convert
