// The PST writer driven by a sequence of operations decoded from the input: folders with
// names that repeat ignoring letter case, messages with random property bags, recipients,
// attachments (inline, streamed, failing mid-stream) and nested attached messages, named
// properties and commits. The file it leaves must pass the structural check without a
// single error, and the store must agree with a model of what it accepted.

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "pst/check/check.hpp"
#include "pst/messaging/store.hpp"

namespace {

namespace fs = std::filesystem;
using namespace larkfield::pst;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_pst_store_ops: %s\n", what);
  std::abort();
}

bool Tracing() {
  static const bool on = std::getenv("LARKFIELD_FUZZ_TRACE") != nullptr;
  return on;
}

// The input as a stream of choices; past its end every choice is 0.
class Input {
 public:
  explicit Input(std::span<const std::uint8_t> data) : data_(data) {}
  bool done() const { return at_ >= data_.size(); }
  std::uint8_t byte() { return at_ < data_.size() ? data_[at_++] : 0; }
  // Each read in its own statement: the same input decodes alike with every compiler.
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }
  std::uint64_t u64() {
    const std::uint64_t low = u32();
    return low | (static_cast<std::uint64_t>(u32()) << 32);
  }
  std::size_t below(std::size_t n) { return n ? byte() % n : 0; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
};

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "larkfield-fuzz-store-XXXXXX").string();
    if (!::mkdtemp(t.data())) {
      std::perror(t.c_str());
      std::abort();
    }
    path_ = t;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A streamed value of a given length that may fail part way.
class Stream final : public ByteSource {
 public:
  Stream(std::size_t length, std::uint8_t seed, bool fail)
      : left_(length), seed_(seed), fail_(fail) {}
  std::size_t read(std::span<std::byte> buffer) override {
    if (fail_ && left_ < 700) throw Error(Error::Code::kIo, "the source went away");
    const std::size_t n = std::min(buffer.size(), left_);
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::byte>(seed_ + i * 7);
    left_ -= n;
    return n;
  }

 private:
  std::size_t left_;
  std::uint8_t seed_;
  bool fail_;
};

std::u16string Name(Input& in) {
  // Few letters, so that names collide, some only in letter case, some outside ASCII.
  static constexpr char16_t kLetters[] = {u'a',      u'A',      u'b', u'B',  u'\u00e9', u'\u00c9',
                                          u'\u03a3', u'\u03c3', u' ', u'\\', u'.',      u'\xd800'};
  std::u16string s;
  const std::size_t n = in.below(6);
  for (std::size_t i = 0; i < n; ++i) s.push_back(kLetters[in.below(std::size(kLetters))]);
  return s;
}

std::u16string Text(Input& in) {
  std::u16string s;
  std::size_t n = in.byte();
  if (n > 250) n = 250 + in.u16() % 6000;  // now and then a long one, stored outside the heap
  const char16_t base = static_cast<char16_t>(u'a' + in.below(3) * 0x100);
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(base + (i % 26)));
  return s;
}

Bytes Blob(Input& in) {
  std::size_t n = in.byte();
  if (n > 240) n = in.u16() % 20000;  // past the 8 KiB block, sometimes
  Bytes b(n);
  const std::uint8_t seed = in.byte();
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::byte>(seed ^ (i * 13));
  return b;
}

struct Named {
  std::vector<std::uint16_t> ids;  // handed out by the store
};

// A property of a random type; `id` 0 picks one.
Property RandomProperty(Input& in, const Named& named) {
  static constexpr std::uint16_t kTypes[] = {pt::kShort,
                                             pt::kLong,
                                             pt::kFloat,
                                             pt::kDouble,
                                             pt::kCurrency,
                                             pt::kAppTime,
                                             pt::kBoolean,
                                             pt::kI8,
                                             pt::kSysTime,
                                             pt::kClsid,
                                             pt::kUnicode,
                                             pt::kBinary,
                                             pt::kMultiValued | pt::kLong,
                                             pt::kMultiValued | pt::kUnicode,
                                             pt::kMultiValued | pt::kBinary,
                                             pt::kMultiValued | pt::kI8,
                                             pt::kMultiValued | pt::kShort,
                                             pt::kMultiValued | pt::kDouble,
                                             pt::kMultiValued | pt::kSysTime,
                                             pt::kMultiValued | pt::kClsid,
                                             pt::kMultiValued | pt::kFloat};
  static constexpr std::uint16_t kIds[] = {0x0037, 0x1000, 0x001A, 0x0E07, 0x0039, 0x0C1A,
                                           0x0042, 0x1035, 0x1039, 0x0070, 0x3FDE, 0x0017};
  const std::uint16_t type = kTypes[in.below(std::size(kTypes))];
  std::uint16_t id;
  switch (in.below(3)) {
    case 0:
      id = kIds[in.below(std::size(kIds))];
      break;
    case 1:
      id = static_cast<std::uint16_t>(0x6000 + in.u16() % 0x1000);
      break;
    default:
      id = named.ids.empty() ? 0x6700 : named.ids[in.below(named.ids.size())];
      break;
  }
  Property p{make_tag(id, type), std::int32_t(0)};
  const std::size_t count = in.below(5);
  switch (type & ~pt::kMultiValued) {
    case pt::kShort:
      if (type & pt::kMultiValued) {
        std::vector<std::int16_t> v;
        for (std::size_t i = 0; i < count; ++i) v.push_back(static_cast<std::int16_t>(in.u16()));
        p.value = v;
      } else {
        p.value = static_cast<std::int16_t>(in.u16());
      }
      break;
    case pt::kLong:
      if (type & pt::kMultiValued) {
        std::vector<std::int32_t> v;
        for (std::size_t i = 0; i < count; ++i) v.push_back(static_cast<std::int32_t>(in.u32()));
        p.value = v;
      } else {
        p.value = static_cast<std::int32_t>(in.u32());
      }
      break;
    case pt::kFloat:
      if (type & pt::kMultiValued) {
        p.value = std::vector<float>(count, static_cast<float>(in.byte()) / 3);
      } else {
        p.value = static_cast<float>(static_cast<std::int32_t>(in.u32())) / 7;
      }
      break;
    case pt::kDouble:
    case pt::kAppTime:
      if (type & pt::kMultiValued) {
        p.value = std::vector<double>(count, static_cast<double>(in.u16()) / 9);
      } else {
        p.value = static_cast<double>(static_cast<std::int64_t>(in.u64())) / 11;
      }
      break;
    case pt::kBoolean:
      p.value = (in.byte() & 1) != 0;
      break;
    case pt::kCurrency:
    case pt::kI8:
      if (type & pt::kMultiValued) {
        std::vector<std::int64_t> v;
        for (std::size_t i = 0; i < count; ++i) v.push_back(static_cast<std::int64_t>(in.u64()));
        p.value = v;
      } else {
        p.value = static_cast<std::int64_t>(in.u64());
      }
      break;
    case pt::kSysTime:
      if (type & pt::kMultiValued) {
        p.value = std::vector<FileTime>(count, FileTime{in.u64()});
      } else {
        p.value = FileTime{in.u64()};
      }
      break;
    case pt::kClsid: {
      Guid g;
      for (auto& b : g.bytes) b = in.byte();
      if (type & pt::kMultiValued) {
        p.value = std::vector<Guid>(count, g);
      } else {
        p.value = g;
      }
      break;
    }
    case pt::kUnicode:
      if (type & pt::kMultiValued) {
        std::vector<std::u16string> v;
        for (std::size_t i = 0; i < count; ++i) v.push_back(Text(in));
        p.value = v;
      } else {
        p.value = Text(in);
      }
      break;
    case pt::kBinary:
      if (type & pt::kMultiValued) {
        std::vector<Bytes> v;
        for (std::size_t i = 0; i < count; ++i) v.push_back(Blob(in));
        p.value = v;
      } else if (in.below(8) == 0) {
        const std::size_t length = in.u16() % 30000;
        const std::uint8_t seed = in.byte();
        const bool fail = in.below(4) == 0;
        p.value = std::shared_ptr<ByteSource>(std::make_shared<Stream>(length, seed, fail));
      } else {
        p.value = Blob(in);
      }
      break;
  }
  return p;
}

// Ids repeat, with the same type or another one: the last value of an id is the one stored.
void Bag(Input& in, const Named& named, std::vector<Property>& out) {
  const std::size_t n = in.below(8);
  for (std::size_t i = 0; i < n; ++i) out.push_back(RandomProperty(in, named));
}

Message RandomMessage(Input& in, const Named& named, int depth) {
  Message m;
  m.properties.push_back({0x001A001F, std::u16string(u"IPM.Note")});
  m.properties.push_back({0x0037001F, Text(in)});
  Bag(in, named, m.properties);
  const std::size_t recipients = in.below(4);
  for (std::size_t i = 0; i < recipients; ++i) {
    Recipient r;
    r.properties.push_back({0x0C150003, static_cast<std::int32_t>(1 + in.below(3))});
    r.properties.push_back({0x3001001F, Name(in) + u" Person"});
    r.properties.push_back({0x3002001F, std::u16string(u"SMTP")});
    r.properties.push_back({0x3003001F, Name(in) + u"@example.org"});
    Bag(in, named, r.properties);
    m.recipients.push_back(std::move(r));
  }
  const std::size_t attachments = in.below(depth > 3 ? 2 : 4);
  for (std::size_t i = 0; i < attachments; ++i) {
    Attachment a;
    const std::size_t kind = in.below(5);
    a.properties.push_back({0x3707001F, Name(in) + u".bin"});
    if (kind == 0) {
      // An attached message, now and then deeper than the format allows.
      a.properties.push_back({0x37050003, std::int32_t(5)});
      a.embedded_message = std::make_unique<Message>(RandomMessage(in, named, depth + 1));
    } else if (kind == 1) {
      a.properties.push_back({0x37050003, std::int32_t(5)});  // no message: refused
    } else {
      Property data = RandomProperty(in, named);
      data.tag = 0x37010102;
      if (!std::holds_alternative<Bytes>(data.value) &&
          !std::holds_alternative<std::shared_ptr<ByteSource>>(data.value))
        data.value = Blob(in);
      a.properties.push_back(std::move(data));
      Bag(in, named, a.properties);
    }
    m.attachments.push_back(std::move(a));
  }
  return m;
}

struct Folder {
  FolderId id;
  FolderId parent;
  std::u16string name;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;  // small stores keep each run fast
  Input in({data, size});
  TempDir dir;
  const fs::path file = dir.path() / "fuzz.pst";
  StoreOptions options;
  options.display_name = u"Fuzz";
  options.sync = false;
  options.commit_interval = std::chrono::hours(24);  // commits by count only: reproducible
  options.encode_blocks = (size & 1) != 0;
  options.commit_every_messages = 1 + in.below(16);
  Store store = Store::create(file, options);

  // The folders the new store already has below the top (Deleted Items) count as accepted.
  std::vector<Folder> folders{{store.ipm_subtree(), 0, u""}};
  for (const FolderEntry& e : store.subfolders(store.ipm_subtree()))
    folders.push_back({e.id, store.ipm_subtree(), e.name});
  Named named;
  std::size_t added = 0;
  for (int op = 0; op < 80 && !in.done(); ++op) {
    switch (in.below(8)) {
      case 0:
      case 1: {
        const Folder parent = folders[in.below(folders.size())];
        const std::u16string name = Name(in);
        bool clash = false;
        for (const auto& f : folders)
          if (f.parent == parent.id && names_equal_ignoring_case(f.name, name)) clash = true;
        try {
          const FolderId id = store.create_folder(parent.id, name);
          if (clash || name.empty()) Fail("a repeated or empty folder name was taken");
          folders.push_back({id, parent.id, name});
          if (store.find_subfolder(parent.id, name) != id)
            Fail("a new folder is not found by its name");
        } catch (const Error& e) {
          if (e.code() == Error::Code::kDuplicateFolder && !clash)
            Fail("a new folder name was refused as a repeat");
          if (e.code() == Error::Code::kInvalidArgument && !name.empty())
            Fail("a folder name was refused as invalid");
          if (e.code() != Error::Code::kDuplicateFolder &&
              e.code() != Error::Code::kInvalidArgument)
            Fail("create_folder failed with an unexpected code");
        }
        break;
      }
      case 2:
      case 3:
      case 4: {
        const Folder target = folders[in.below(folders.size())];
        const Message m = RandomMessage(in, named, 0);
        const StoreStatistics before = store.statistics();
        try {
          store.add_message(target.id, m);
          ++added;
          if (Tracing())
            std::fprintf(stderr, "add_message: %zu properties, %zu recipients, %zu attachments\n",
                         m.properties.size(), m.recipients.size(), m.attachments.size());
        } catch (const Error& e) {
          if (Tracing()) std::fprintf(stderr, "add_message refused: %s\n", e.what());
          // Refused messages leave nothing behind: no block stays in use (unless a commit
          // due before the message rewrote folders), and the check below finds no trace.
          if (e.code() == Error::Code::kClosed || e.code() == Error::Code::kCorrupt)
            Fail("a refused message left the store closed or corrupt");
          const StoreStatistics after = store.statistics();
          if (after.commits == before.commits && after.blocks != before.blocks)
            Fail("a refused message left blocks in use");
        }
        break;
      }
      case 5: {
        NamedPropertyKey key;
        key.property_set.bytes[0] = in.below(3);
        if (in.byte() & 1) {
          key.name = static_cast<std::uint32_t>(0x8000 + in.below(8));
        } else {
          key.name = Name(in);
        }
        try {
          const std::uint16_t id = store.named_property_id(key);
          if (id < 0x8000 || store.named_property_id(key) != id)
            Fail("a named property id is not stable");
          named.ids.push_back(id);
        } catch (const Error& e) {
          if (e.code() != Error::Code::kInvalidArgument)
            Fail("named_property_id failed with an unexpected code");
        }
        break;
      }
      case 6:
        if (Tracing()) std::fprintf(stderr, "commit\n");
        store.commit();
        break;
      default: {
        // The folders as the store lists them match what it accepted.
        const Folder f = folders[in.below(folders.size())];
        std::size_t children = 0;
        for (const auto& g : folders) children += g.parent == f.id;
        if (store.subfolders(f.id).size() != children)
          Fail("the store lists other subfolders than it accepted");
        break;
      }
    }
  }
  const StoreStatistics stats = store.statistics();
  if (stats.messages != added) {
    std::fprintf(stderr, "the store counts %llu messages, %zu were accepted\n",
                 static_cast<unsigned long long>(stats.messages), added);
    std::abort();
  }
  store.close();

  // Refused messages included: not one block of them may stay in the block index.
  const larkfield::pst::check::Report report = larkfield::pst::check::verify_file(file, {});
  if (!report.readable || !report.ok()) {
    std::fprintf(stderr, "%s\n", report.text().c_str());
    Fail("the structural check found errors");
  }
  return 0;
}
