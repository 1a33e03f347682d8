#include "tests/convert/fakes.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace larkfield::testing {

std::u16string U16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

namespace {
std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }
}  // namespace

const FakeFolder* FakeStoreData::Folder(const std::u16string& slash_path) const {
  pst::FolderId at = FakeBackend::kIpm;
  std::size_t start = 0;
  while (start <= slash_path.size()) {
    std::size_t end = slash_path.find(u'/', start);
    if (end == std::u16string::npos) end = slash_path.size();
    const std::u16string name = slash_path.substr(start, end - start);
    bool found = false;
    for (pst::FolderId c : folders.at(at).children) {
      if (folders.at(c).name == name) {
        at = c;
        found = true;
        break;
      }
    }
    if (!found) return nullptr;
    start = end + 1;
  }
  return &folders.at(at);
}

std::vector<std::string> FakeStoreData::FolderPaths() const {
  std::vector<std::string> out;
  std::vector<std::pair<pst::FolderId, std::string>> todo{{FakeBackend::kIpm, ""}};
  while (!todo.empty()) {
    auto [id, path] = todo.back();
    todo.pop_back();
    for (pst::FolderId c : folders.at(id).children) {
      std::string p =
          path.empty() ? Narrow(folders.at(c).name) : path + "/" + Narrow(folders.at(c).name);
      out.push_back(p);
      todo.push_back({c, p});
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

FakeBackend::FakeBackend(std::shared_ptr<FakeStoreData> data) : d_(std::move(data)) {
  d_->folders[kRoot] = FakeFolder{0, u"", {kIpm}, {}};
  d_->folders[kIpm] = FakeFolder{kRoot, u"Top of Personal Folders", {}, {}};
}

std::vector<pst::FolderEntry> FakeBackend::subfolders(pst::FolderId parent) const {
  auto it = d_->folders.find(parent);
  if (it == d_->folders.end()) throw pst::Error(pst::Error::Code::kNotFound, "no folder");
  std::vector<pst::FolderEntry> out;
  for (pst::FolderId c : it->second.children) out.push_back({c, d_->folders.at(c).name});
  return out;
}

pst::FolderId FakeBackend::create_folder(pst::FolderId parent, std::u16string_view name) {
  if (d_->closed) throw pst::Error(pst::Error::Code::kClosed, "closed");
  if (!d_->fail_folder.empty() && name == d_->fail_folder) {
    throw pst::Error(pst::Error::Code::kInvalidArgument, "refused folder name");
  }
  FakeFolder& p = d_->folders.at(parent);
  for (pst::FolderId c : p.children) {
    if (names_equal(d_->folders.at(c).name, name)) {
      throw pst::Error(pst::Error::Code::kDuplicateFolder, "duplicate");
    }
  }
  const pst::FolderId id = next_;
  next_ += 0x20;
  p.children.push_back(id);
  d_->folders[id] = FakeFolder{parent, std::u16string(name), {}, {}};
  return id;
}

std::uint16_t FakeBackend::named_property_id(const pst::NamedPropertyKey& key) {
  std::u16string k;
  for (auto b : key.property_set.bytes) k += static_cast<char16_t>(b);
  k += u'|';
  if (auto* n = std::get_if<std::uint32_t>(&key.name)) {
    k += U16(std::to_string(*n));
  } else {
    k += std::get<std::u16string>(key.name);
  }
  auto it = d_->named.find(k);
  if (it != d_->named.end()) return it->second;
  const auto id = static_cast<std::uint16_t>(0x8000 + d_->named.size());
  d_->named[k] = id;
  return id;
}

namespace {
pst::Message Copy(const pst::Message& m) {
  pst::Message out;
  out.properties = m.properties;
  out.recipients = m.recipients;
  for (const pst::Attachment& a : m.attachments) {
    pst::Attachment c;
    c.properties = a.properties;
    if (a.embedded_message)
      c.embedded_message = std::make_unique<pst::Message>(Copy(*a.embedded_message));
    out.attachments.push_back(std::move(c));
  }
  return out;
}
}  // namespace

pst::MessageId FakeBackend::add_message(pst::FolderId folder, const pst::Message& message) {
  if (d_->closed) throw pst::Error(pst::Error::Code::kClosed, "closed");
  if (d_->messages.size() >= d_->fail_message_after) {
    throw pst::Error(d_->message_failure, "write: File too large");
  }
  d_->messages.push_back(std::make_unique<pst::Message>(Copy(message)));
  d_->folders.at(folder).messages.push_back(d_->messages.back().get());
  return static_cast<pst::MessageId>(0x200004 + 0x20 * d_->messages.size());
}

pst::StoreStatistics FakeBackend::statistics() const {
  pst::StoreStatistics s;
  s.messages = d_->messages.size();
  s.commits = static_cast<std::uint64_t>(d_->commits);
  return s;
}

bool FakeBackend::names_equal(std::u16string_view a, std::u16string_view b) const {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return Lower(x) == Lower(y); });
}

mailstore::BackendFactory FakeFactory(std::vector<std::shared_ptr<FakeStoreData>>* stores) {
  return [stores](const std::filesystem::path& path,
                  const pst::StoreOptions& options) -> std::unique_ptr<mailstore::StoreBackend> {
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd < 0) {
      if (errno == EEXIST) throw pst::Error(pst::Error::Code::kFileExists, "exists");
      throw pst::Error(pst::Error::Code::kIo, "create: " + std::string(std::strerror(errno)));
    }
    ::close(fd);
    auto data = std::make_shared<FakeStoreData>();
    data->path = path;
    data->options = options;
    stores->push_back(data);
    return std::make_unique<FakeBackend>(data);
  };
}

mailstore::Importer FakeImporter() {
  return [](const std::filesystem::path& path, const mime::ImportOptions&) {
    std::ifstream in(path, std::ios::binary);
    if (!in || std::filesystem::is_directory(path)) {
      throw mime::ReadError("cannot read " + path.string());
    }
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    mime::ImportResult r;
    if (text.find("GARBAGE") != std::string::npos) {
      r.stand_in = true;
      r.message.properties.push_back({0x0037001F, U16(path.filename().string())});
      mime::Attachment a;
      a.properties.push_back({0x3707001F, U16(path.filename().string())});
      r.message.attachments.push_back(std::move(a));
      return r;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("Subject: ", 0) == 0) {
        r.message.properties.push_back({0x0037001F, U16(line.substr(9))});
      } else if (line.rfind("Attach: ", 0) == 0 || line.rfind("Hidden: ", 0) == 0) {
        mime::Attachment a;
        a.properties.push_back({0x3707001F, U16(line.substr(8))});
        a.properties.push_back({0x37050003, std::int32_t{1}});
        if (line[0] == 'H') a.properties.push_back({0x7FFE000B, true});
        a.named.push_back({mime::Guid{{1, 2, 3}}, std::u16string(u"x-att"), 0x001F, U16("v")});
        r.message.attachments.push_back(std::move(a));
      } else if (line.rfind("Embedded: ", 0) == 0) {
        mime::Attachment a;
        a.properties.push_back({0x37050003, std::int32_t{5}});
        a.embedded_message = std::make_unique<mime::Message>();
        a.embedded_message->properties.push_back({0x0037001F, U16(line.substr(10))});
        a.embedded_message->named.push_back(
            {mime::Guid{{9}}, std::uint32_t{0x8554}, 0x0003, std::int32_t{7}});
        r.message.attachments.push_back(std::move(a));
      } else if (line.rfind("Named: ", 0) == 0) {
        r.message.named.push_back(
            {mime::Guid{{4, 5, 6}}, U16(line.substr(7)), 0x001F, U16("named value")});
      } else if (line.rfind("EmptyBodies", 0) == 0) {
        r.message.properties.push_back({0x1000001F, std::u16string()});
        r.message.properties.push_back({0x10130102, mime::Bytes{}});
        r.message.properties.push_back({0x10090102, mime::Bytes{std::byte{1}}});
      } else if (line.rfind("WARN: ", 0) == 0) {
        r.warnings.push_back(line.substr(6));
      } else if (line.rfind("Flags: ", 0) == 0) {
        r.message.properties.push_back({0x0E070003, std::int32_t{std::stoi(line.substr(7))}});
      }
    }
    return r;
  };
}

std::u16string Subject(const pst::Message& m) {
  const pst::Property* p = Find(m.properties, 0x0037001F);
  return p ? std::get<std::u16string>(p->value) : std::u16string();
}

const pst::Property* Find(const std::vector<pst::Property>& props, pst::PropTag tag) {
  for (const pst::Property& p : props) {
    if (p.tag == tag) return &p;
  }
  return nullptr;
}

}  // namespace larkfield::testing
