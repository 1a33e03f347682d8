#include "pst/ndb/database.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "pst/ndb/btree.hpp"
#include "pst/ndb/codec.hpp"

namespace larkfield::pst::ndb {
namespace {

// File layout of a Unicode file with 512-byte pages.
constexpr std::uint64_t kHeaderSize = 564;
constexpr std::uint64_t kDListOffset = 0x4200;
constexpr std::uint64_t kFirstRegion = 0x4400;
constexpr std::uint64_t kRegionSize = 0x3E000;  // 3,968 slots of 64 bytes
constexpr std::uint64_t kSlot = 64;
constexpr std::uint64_t kPage = 512;
constexpr std::size_t kMapBytes = 496;
constexpr std::uint64_t kSlotsPerRegion = kRegionSize / kSlot;  // 3,968
constexpr std::size_t kBufferLimit = 4u << 20;  // written out once it holds this much
// The limit, padding before one more write and that write (a block or a page).
constexpr std::size_t kBufferCapacity = kBufferLimit + 512 + 8192;

constexpr std::uint8_t kPageBbt = 0x80, kPageNbt = 0x81, kPageFMap = 0x82, kPagePMap = 0x83,
                       kPageAMap = 0x84, kPageFPMap = 0x85, kPageDList = 0x86;

constexpr std::uint64_t region_base(std::uint64_t k) { return kFirstRegion + k * kRegionSize; }
constexpr std::uint64_t region_of(std::uint64_t ib) { return (ib - kFirstRegion) / kRegionSize; }
constexpr bool has_pmap(std::uint64_t k) { return k % 8 == 0; }
constexpr bool has_fmap(std::uint64_t k) { return k >= 128 && (k - 128) % 496 == 0; }
constexpr bool has_fpmap(std::uint64_t k) { return k >= 8192 && (k - 8192) % 31744 == 0; }
constexpr std::uint64_t special_pages(std::uint64_t k) {
  return 1 + (has_pmap(k) ? 1 : 0) + (has_fmap(k) ? 1 : 0) + (has_fpmap(k) ? 1 : 0);
}
constexpr std::uint64_t data_start(std::uint64_t k) {
  return region_base(k) + kPage * special_pages(k);
}
constexpr std::uint64_t round_up(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }
constexpr std::uint64_t block_size_on_disk(std::size_t cb) { return round_up(cb + 16, kSlot); }

constexpr Bid kInternalBit = 2;

[[noreturn]] void throw_io(const std::string& what) {
  throw Error(Error::Code::kIo, what + ": " + std::strerror(errno));
}

// First nidIndex a blank file hands out minus one, per NID type.
constexpr std::uint32_t initial_nid_index(std::size_t type) {
  switch (type) {
    case 0x03:
      return 0x4000;  // search folders
    case 0x04:
      return 0x10000;  // normal messages
    case 0x08:
      return 0x8000;  // associated messages
    default:
      return 0x400;
  }
}

}  // namespace

class Database::Impl {
  struct Region;

 public:
  Impl(int fd, std::filesystem::path path, DatabaseOptions options)
      : fd_(fd), path_(std::move(path)), options_(options) {
    for (std::size_t t = 0; t < rgnid_.size(); ++t) rgnid_[t] = initial_nid_index(t);
  }
  ~Impl() {
    if (fd_ >= 0) ::close(fd_);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // ---- creation ----
  void initialize() {
    add_region();  // region 0 and its maps
    cursor_ = data_start(0);
    // The density list: no entries, as a fresh file has it.
    std::array<std::uint8_t, kPage> dlist{};
    finish_page(dlist.data(), kPageDList, kDListOffset, next_page_bid_++);
    pwrite_all(dlist.data(), dlist.size(), kDListOffset);
    nbt_root_ = nbt_.write_changed();
    bbt_root_ = bbt_.write_changed();
    flush();
    // The header names the end of region 0 as the end of the file: the file is that long
    // before the header exists, so that a writer killed before its first commit leaves a
    // whole empty file.
    extend_file();
    write_maps();
    write_header();
    committed_eof_ = eof();
  }

  // ---- ids ----
  Nid allocate_nid(NidType type) {
    auto& last = rgnid_.at(static_cast<std::size_t>(type));
    if (last >= (1u << 27) - 1) throw Error(Error::Code::kTooLarge, "no node ids left");
    return make_nid(type, ++last);
  }
  void reserve_nid(Nid nid) {
    auto& last = rgnid_.at(static_cast<std::size_t>(nid_type(nid)));
    last = std::max(last, nid_index(nid));
  }

  // ---- blocks ----
  Bid write_block(std::span<const std::byte> bytes, bool internal) {
    check_open();
    if (bytes.size() > kMaxBlockData)
      throw Error(Error::Code::kInvalidArgument, "a data block holds at most 8176 bytes");
    const std::uint64_t size = block_size_on_disk(bytes.size());
    const std::uint64_t ib = allocate(size, kSlot);
    const Bid bid = next_block_bid_ | (internal ? kInternalBit : 0);
    next_block_bid_ += 4;
    std::uint8_t* out = buffer_at(ib, size);
    if (!internal && options_.encode_blocks)
      permute_copy(bytes, out);
    else if (!bytes.empty())
      std::memcpy(out, bytes.data(), bytes.size());
    std::memset(out + bytes.size(), 0, size - bytes.size());
    std::uint8_t* trailer = out + size - 16;
    put16(trailer, static_cast<std::uint16_t>(bytes.size()));
    put16(trailer + 2, signature(ib, bid));
    put32(trailer + 4, crc32({out, bytes.size()}));
    put64(trailer + 8, bid);
    bbt_.put(BlockRecord{bid, ib, static_cast<std::uint16_t>(bytes.size()), 2});
    return bid;
  }

  // An XBLOCK or XXBLOCK over `children` holding `total` bytes.
  Bid write_tree_block(std::uint8_t level, std::span<const Bid> children, std::uint64_t total) {
    if (total > 0xFFFFFFFFull)
      throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
    std::vector<std::byte> b(8 + 8 * children.size());
    auto* p = reinterpret_cast<std::uint8_t*>(b.data());
    p[0] = 0x01;
    p[1] = level;
    put16(p + 2, static_cast<std::uint16_t>(children.size()));
    put32(p + 4, static_cast<std::uint32_t>(total));
    for (std::size_t i = 0; i < children.size(); ++i) put64(p + 8 + 8 * i, children[i]);
    return write_block(b, true);
  }

  // The root over data blocks `leaves` of the given sizes; `inner` receives the
  // X/XXBLOCKs written.
  Bid tree_over(std::span<const Bid> leaves, std::span<const std::uint32_t> sizes,
                std::vector<Bid>& inner) {
    constexpr std::size_t kFan = (kMaxBlockData - 8) / 8;  // 1,021
    if (leaves.size() == 1) return leaves[0];
    // Readers find the block of a byte offset as offset / 8176 (and the XBLOCK of an
    // XXBLOCK as offset / (1021 * 8176)), so every block but the last must be full.
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
      if (sizes[i] != kMaxBlockData)
        throw Error(Error::Code::kInvalidArgument,
                    "every block of a data tree but the last holds 8176 bytes");
    std::uint64_t total = 0;
    for (auto s : sizes) total += s;
    if (leaves.size() <= kFan) {
      Bid x = write_tree_block(1, leaves, total);
      inner.push_back(x);
      return x;
    }
    if (leaves.size() > kFan * kFan)
      throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
    std::vector<Bid> xs;
    for (std::size_t i = 0; i < leaves.size(); i += kFan) {
      const std::size_t n = std::min(kFan, leaves.size() - i);
      std::uint64_t part = 0;
      for (std::size_t j = i; j < i + n; ++j) part += sizes[j];
      xs.push_back(write_tree_block(1, leaves.subspan(i, n), part));
    }
    inner.insert(inner.end(), xs.begin(), xs.end());
    Bid xx = write_tree_block(2, xs, total);
    inner.push_back(xx);
    return xx;
  }

  Bid write_data(std::span<const std::byte> bytes) {
    if (bytes.size() <= kMaxBlockData) return write_block(bytes, false);
    std::vector<Bid> leaves;
    std::vector<std::uint32_t> sizes;
    for (std::size_t off = 0; off < bytes.size(); off += kMaxBlockData) {
      const std::size_t n = std::min(kMaxBlockData, bytes.size() - off);
      leaves.push_back(write_block(bytes.subspan(off, n), false));
      sizes.push_back(static_cast<std::uint32_t>(n));
    }
    std::vector<Bid> inner;
    return tree_over(leaves, sizes, inner);
  }

  Bid write_subnodes(std::span<const SubnodeEntry> entries) {
    if (entries.empty()) return 0;
    for (std::size_t i = 1; i < entries.size(); ++i)
      if (entries[i - 1].nid >= entries[i].nid)
        throw Error(Error::Code::kInvalidArgument, "subnode entries must be sorted by node id");
    constexpr std::size_t kLeafFan = (kMaxBlockData - 8) / 24;   // 340
    constexpr std::size_t kInnerFan = (kMaxBlockData - 8) / 16;  // 510
    auto leaf = [&](std::span<const SubnodeEntry> part) {
      std::vector<std::byte> b(8 + 24 * part.size());
      auto* p = reinterpret_cast<std::uint8_t*>(b.data());
      p[0] = 0x02;
      p[1] = 0;
      put16(p + 2, static_cast<std::uint16_t>(part.size()));
      for (std::size_t i = 0; i < part.size(); ++i) {
        put64(p + 8 + 24 * i, part[i].nid);
        put64(p + 16 + 24 * i, part[i].data);
        put64(p + 24 + 24 * i, part[i].subnodes);
      }
      return write_block(b, true);
    };
    if (entries.size() <= kLeafFan) return leaf(entries);
    if (entries.size() > kLeafFan * kInnerFan)
      throw Error(Error::Code::kInvalidArgument, "too many subnodes in one node");
    std::vector<std::pair<Nid, Bid>> leaves;
    for (std::size_t i = 0; i < entries.size(); i += kLeafFan) {
      auto part = entries.subspan(i, std::min(kLeafFan, entries.size() - i));
      leaves.emplace_back(part.front().nid, leaf(part));
    }
    std::vector<std::byte> b(8 + 16 * leaves.size());
    auto* p = reinterpret_cast<std::uint8_t*>(b.data());
    p[0] = 0x02;
    p[1] = 1;
    put16(p + 2, static_cast<std::uint16_t>(leaves.size()));
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      put64(p + 8 + 16 * i, leaves[i].first);
      put64(p + 16 + 16 * i, leaves[i].second);
    }
    return write_block(b, true);
  }

  // The blocks below an XBLOCK, XXBLOCK or SIBLOCK belong to it (write_data,
  // write_subnodes and DataStream make them so), and are read back from the block itself
  // when it is released rather than remembered. An SLBLOCK's entries are nodes the
  // caller releases. A DataTree releases its blocks one by one (release_one).
  void release(Bid bid) {
    if (bid == 0) return;
    const BlockRecord rec = release_one(bid);
    if ((bid & kInternalBit) == 0 || rec.cb < 8) return;
    std::vector<std::uint8_t> b(rec.cb);
    read_at(b.data(), b.size(), rec.ib);
    const std::uint8_t type = b[0], level = b[1];
    const std::size_t count = get16(b.data() + 2);
    if (type == 0x01) {  // XBLOCK (level 1) over data blocks, XXBLOCK (2) over XBLOCKs
      if (8 + 8 * count > b.size())
        throw Error(Error::Code::kCorrupt, "a data tree read back is cut short");
      for (std::size_t i = 0; i < count; ++i) {
        const Bid child = get64(b.data() + 8 + 8 * i);
        if (level == 2)
          release(child);
        else
          release_one(child);
      }
    } else if (type == 0x02 && level == 1) {  // SIBLOCK over SLBLOCKs
      if (8 + 16 * count > b.size())
        throw Error(Error::Code::kCorrupt, "a subnode tree read back is cut short");
      for (std::size_t i = 0; i < count; ++i) release_one(get64(b.data() + 16 + 16 * i));
    }
  }

  BlockRecord release_one(Bid bid) {
    const auto rec = bbt_.take(bid);
    if (!rec) throw Error(Error::Code::kNotFound, "release of an unknown block");
    freed_now_.emplace_back(rec->ib, block_size_on_disk(rec->cb));
    return *rec;
  }

  Bid block_mark() const { return next_block_bid_; }

  // Block ids grow by 4 (bit 1 marks internal blocks), so the blocks since `mark` are
  // found by id without walking the BBT.
  std::size_t discard_blocks_since(Bid mark) {
    std::size_t released = 0;
    for (Bid b = mark & ~Bid{3}; b < next_block_bid_; b += 4) {
      for (const Bid bid : {b, b | kInternalBit}) {
        const auto rec = bbt_.take(bid);
        if (!rec) continue;
        freed_now_.emplace_back(rec->ib, block_size_on_disk(rec->cb));
        ++released;
      }
    }
    return released;
  }

  // ---- nodes ----
  void put_node(const NodeEntry& e) {
    check_open();
    nbt_.put(NodeRecord{e.nid, e.data, e.subnodes, e.parent});
  }
  void remove_node(Nid nid) {
    check_open();
    nbt_.take(nid);
  }
  std::optional<NodeEntry> find_node(Nid nid) const {
    auto r = nbt_.find(nid);
    if (!r) return std::nullopt;
    return NodeEntry{static_cast<Nid>(r->nid), r->data, r->sub, r->parent};
  }

  // ---- commit ----
  void commit() {
    check_open();
    try {
      // New B-tree pages, then the blocks and pages on disk before anything refers to them.
      nbt_root_ = nbt_.write_changed();
      bbt_root_ = bbt_.write_changed();
      flush();
      extend_file();
      sync();
      // Space released before the previous commit is now unreachable from any header that
      // can be on disk: it becomes free. What this commit released stays allocated until
      // the next one.
      clear_bits(freed_prev_);
      freed_prev_ = std::move(freed_now_);
      freed_now_.clear();
      write_maps();
      sync();
      write_header();
      sync();
      committed_eof_ = eof();
      ++commits_;
    } catch (...) {
      broken_ = true;
      throw;
    }
  }

  void close() {
    if (fd_ < 0) throw Error(Error::Code::kClosed, "the file is closed");
    std::exception_ptr failure;
    if (!broken_) {
      try {
        commit();
        // One more map and header write, so that the space the last commit released is
        // free in the closed file.
        clear_bits(freed_prev_);
        freed_prev_.clear();
        write_maps();
        sync();
        write_header();
        sync();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (broken_) cut_to_last_commit();
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && !failure) throw_io("closing " + path_.string());
    if (failure) std::rethrow_exception(failure);
  }

  bool is_open() const { return fd_ >= 0; }
  std::uint64_t file_size() const { return eof(); }
  DatabaseStatistics statistics() const {
    return DatabaseStatistics{eof(), bytes_written_, commits_, bbt_.size(), nbt_.size()};
  }

 private:
  // ---- allocation ----
  std::uint64_t eof() const { return region_base(region_count_); }

  void add_region() {
    const std::uint64_t k = region_count_;
    if (region_base(k + 1) > options_.max_file_size)
      throw Error(Error::Code::kTooLarge, "the file would grow past its maximum size of " +
                                              std::to_string(options_.max_file_size) + " bytes");
    resident_.emplace(k, Region{});
    ++region_count_;
    free_slots_ += kSlotsPerRegion;
    // The map pages at the start of the region are allocated space.
    set_bits(region_base(k), kPage * special_pages(k));
  }

  // Append-only: the next `size` bytes at `align`, never across a region boundary and
  // never over the map pages at a region's start.
  std::uint64_t allocate(std::uint64_t size, std::uint64_t align) {
    std::uint64_t pos = round_up(cursor_, align);
    std::uint64_t k = region_of(pos);
    if (k >= region_count_) {
      add_region();
      k = region_count_ - 1;
      pos = data_start(k);
    } else if (pos < data_start(k)) {
      pos = data_start(k);
    }
    if (pos + size > region_base(k + 1)) {
      if (k + 1 >= region_count_) add_region();
      pos = data_start(k + 1);
    }
    set_bits(pos, size);
    cursor_ = pos + size;
    return pos;
  }

  void set_bits(std::uint64_t ib, std::uint64_t size) { change_bits(ib, size, true); }
  void clear_bits(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) {
    for (auto& [ib, size] : ranges) change_bits(ib, size, false);
  }
  void change_bits(std::uint64_t ib, std::uint64_t size, bool on) {
    std::uint64_t slot = (ib - kFirstRegion) / kSlot;
    const std::uint64_t end = (ib + size - kFirstRegion + kSlot - 1) / kSlot;
    while (slot < end) {
      // The slots [bit, last) of one region: partial bytes bit by bit, whole bytes at once.
      Region& r = region(slot / kSlotsPerRegion);
      std::size_t bit = slot % kSlotsPerRegion;
      const std::size_t last =
          static_cast<std::size_t>(std::min<std::uint64_t>(kSlotsPerRegion, bit + (end - slot)));
      slot += last - bit;
      r.dirty = true;
      std::uint64_t set_before = 0, changed = 0;
      auto one = [&](std::size_t b) {
        const auto mask = static_cast<std::uint8_t>(0x80 >> (b % 8));
        set_before += (r.bits[b / 8] & mask) != 0 ? 1 : 0;
        ++changed;
        if (on)
          r.bits[b / 8] |= mask;
        else
          r.bits[b / 8] &= static_cast<std::uint8_t>(~mask);
      };
      for (; bit < last && bit % 8 != 0; ++bit) one(bit);
      if (const std::size_t bytes = (last - bit) / 8; bytes != 0) {
        for (std::size_t i = bit / 8; i < bit / 8 + bytes; ++i)
          set_before += static_cast<std::uint64_t>(std::popcount(r.bits[i]));
        changed += 8 * bytes;
        std::memset(r.bits.data() + bit / 8, on ? 0xFF : 0x00, bytes);
        bit += 8 * bytes;
      }
      for (; bit < last; ++bit) one(bit);
      // Slots that were free and are now set, or the other way round.
      if (on)
        free_slots_ -= changed - set_before;
      else
        free_slots_ += set_before;
    }
  }

  // The allocation map of region k. Memory holds the maps changed since they were last
  // written and the last region's; any other is read back from its page.
  Region& region(std::uint64_t k) {
    if (auto it = resident_.find(k); it != resident_.end()) return it->second;
    std::array<std::uint8_t, kPage> page{};
    const std::uint64_t ib = region_base(k);
    read_at(page.data(), page.size(), ib);
    if (page[496] != kPageAMap || get64(page.data() + 504) != ib ||
        get32(page.data() + 500) != crc32({page.data(), 496}))
      throw Error(Error::Code::kCorrupt,
                  "an allocation map read back from " + path_.string() + " is not the one written");
    Region r;
    std::memcpy(r.bits.data(), page.data(), kMapBytes);
    r.dirty = false;
    r.written = true;
    return resident_.emplace(k, r).first->second;
  }

  // ---- buffered sequential writing ----
  // The next `size` bytes of the file at `ib` in the write buffer, left for the caller to
  // fill completely (they are not cleared).
  std::uint8_t* buffer_at(std::uint64_t ib, std::uint64_t size) {
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferCapacity);
    if (buffer_size_ != 0 && ib != buffer_ib_ + buffer_size_) {
      // A gap inside one region is padding: zero it; anything else starts a new run.
      const std::uint64_t end = buffer_ib_ + buffer_size_;
      if (ib > end && region_of(ib) == region_of(end - 1) && ib - end < kPage) {
        std::memset(buffer_.get() + buffer_size_, 0, ib - end);
        buffer_size_ += ib - end;
      } else {
        flush();
      }
    }
    if (buffer_size_ + size > kBufferLimit && buffer_size_ != 0) flush();
    if (buffer_size_ == 0) buffer_ib_ = ib;
    if (buffer_size_ + size > kBufferCapacity)
      throw Error(Error::Code::kInvalidArgument, "a write larger than the write buffer");
    std::uint8_t* at = buffer_.get() + buffer_size_;
    buffer_size_ += size;
    return at;
  }

  void flush() {
    if (buffer_size_ == 0) return;
    pwrite_all(buffer_.get(), buffer_size_, buffer_ib_);
    buffer_size_ = 0;
  }

  void pwrite_all(const std::uint8_t* data, std::size_t size, std::uint64_t ib) {
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(ib));
      if (n < 0) {
        if (errno == EINTR) continue;
        broken_ = true;
        throw_io("writing " + path_.string());
      }
      data += n;
      size -= static_cast<std::size_t>(n);
      ib += static_cast<std::uint64_t>(n);
      bytes_written_ += static_cast<std::uint64_t>(n);
    }
  }

  // Bytes written before, from the write buffer while they are still in it.
  void read_at(std::uint8_t* out, std::size_t size, std::uint64_t ib) const {
    if (buffer_size_ != 0 && ib >= buffer_ib_ && ib + size <= buffer_ib_ + buffer_size_) {
      std::memcpy(out, buffer_.get() + (ib - buffer_ib_), size);
      return;
    }
    while (size > 0) {
      const ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(ib));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw_io("reading " + path_.string());
      if (n == 0)
        throw Error(Error::Code::kCorrupt, "reading " + path_.string() + ": the file ends early");
      out += n;
      size -= static_cast<std::size_t>(n);
      ib += static_cast<std::uint64_t>(n);
    }
  }

  void extend_file() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw_io("reading the size of " + path_.string());
    if (static_cast<std::uint64_t>(st.st_size) < eof() &&
        ::ftruncate(fd_, static_cast<off_t>(eof())) != 0) {
      broken_ = true;
      throw_io("growing " + path_.string());
    }
  }

  // After a failed write the file may reach past the end the last header names (blocks
  // of the commit that failed, a region it added): cut it back, so that the file is
  // what that header describes. Best effort: the write failure is what gets reported.
  void cut_to_last_commit() {
    if (committed_eof_ == 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > committed_eof_ &&
        ::ftruncate(fd_, static_cast<off_t>(committed_eof_)) == 0 && options_.sync) {
      ::fdatasync(fd_);
    }
  }

  void sync() {
    if (!options_.sync) return;
    if (::fdatasync(fd_) != 0) {
      broken_ = true;
      throw_io("syncing " + path_.string());
    }
  }

  // ---- pages ----
  static void finish_page(std::uint8_t* page, std::uint8_t type, std::uint64_t ib,
                          std::uint64_t bid) {
    page[496] = type;
    page[497] = type;
    const bool map = type >= kPageFMap && type <= kPageFPMap;
    put16(page + 498, map ? 0 : signature(ib, bid));
    put32(page + 500, crc32({page, 496}));
    put64(page + 504, bid);
  }

  // Writes one B-tree page with `entries` (already laid out) and returns its BREF.
  PageRef write_btree_page(std::uint8_t type, std::uint8_t level, std::uint8_t count,
                           std::uint8_t entry_size, const std::uint8_t* entries) {
    const std::uint64_t ib = allocate(kPage, kPage);
    const std::uint64_t bid = next_page_bid_++;
    std::uint8_t* page = buffer_at(ib, kPage);
    std::memset(page, 0, kPage);
    if (count != 0) std::memcpy(page, entries, static_cast<std::size_t>(count) * entry_size);
    page[488] = count;
    page[489] = static_cast<std::uint8_t>(488 / entry_size);
    page[490] = entry_size;
    page[491] = level;
    finish_page(page, type, ib, bid);
    return PageRef{bid, ib};
  }

  // The entries of a B-tree page written before, checked against what was written.
  std::size_t read_btree_page(std::uint8_t type, PageRef ref, std::uint8_t* entries) const {
    std::array<std::uint8_t, kPage> page{};
    read_at(page.data(), page.size(), ref.ib);
    if (page[496] != type || get64(page.data() + 504) != ref.bid ||
        get32(page.data() + 500) != crc32({page.data(), 496}))
      throw Error(Error::Code::kCorrupt,
                  "a B-tree page read back from " + path_.string() + " is not the one written");
    std::memcpy(entries, page.data(), kBTreeEntryBytes);
    return page[488];
  }

  // The pages of one of the two B-trees.
  class TreePages final : public PageStore {
   public:
    TreePages(Impl& db, std::uint8_t type) : db_(&db), type_(type) {}
    PageRef write_page(std::uint8_t level, std::uint8_t count, std::uint8_t entry_size,
                       const std::uint8_t* entries) override {
      return db_->write_btree_page(type_, level, count, entry_size, entries);
    }
    std::size_t read_page(PageRef page, std::uint8_t* entries) const override {
      return db_->read_btree_page(type_, page, entries);
    }
    void drop_page(PageRef page) override { db_->freed_now_.emplace_back(page.ib, kPage); }

   private:
    Impl* db_;
    std::uint8_t type_;
  };

  // The maps of regions new since the last commit go first: they lie past the end the
  // last header names, so a full disk or a file-size limit fails the commit before any
  // map that header relies on has changed.
  void write_maps() {
    write_maps(false);
    write_maps(true);
    // What is on disk need not stay in memory; the last region's map changes with every
    // allocation and stays.
    std::erase_if(resident_, [&](const auto& e) { return e.first + 1 < region_count_; });
  }
  void write_maps(bool written_before) {
    for (auto& [k, r] : resident_) {
      if (r.written != written_before) continue;
      if (!r.dirty && r.written) continue;
      std::array<std::uint8_t, kPage> page{};
      std::memcpy(page.data(), r.bits.data(), kMapBytes);
      std::uint64_t ib = region_base(k);
      finish_page(page.data(), kPageAMap, ib, ib);
      pwrite_all(page.data(), kPage, ib);
      if (!r.written) {
        // PMap, FMap and FPMap pages: deprecated, present with "all allocated" bodies.
        auto write_filler = [&](std::uint8_t type) {
          ib += kPage;
          std::array<std::uint8_t, kPage> p{};
          std::memset(p.data(), 0xFF, kMapBytes);
          finish_page(p.data(), type, ib, ib);
          pwrite_all(p.data(), kPage, ib);
        };
        if (has_pmap(k)) write_filler(kPagePMap);
        if (has_fmap(k)) write_filler(kPageFMap);
        if (has_fpmap(k)) write_filler(kPageFPMap);
      }
      r.dirty = false;
      r.written = true;
    }
  }

  std::uint64_t free_bytes() const { return free_slots_ * kSlot; }

  void write_header() {
    std::array<std::uint8_t, kHeaderSize> h{};
    std::memcpy(h.data(), "!BDN", 4);
    put16(h.data() + 8, 0x4D53);  // "SM"
    put16(h.data() + 10, 23);     // Unicode
    put16(h.data() + 12, 19);
    h[14] = 1;
    h[15] = 1;
    put64(h.data() + 32, next_page_bid_);
    put32(h.data() + 40, ++unique_);
    for (std::size_t t = 0; t < rgnid_.size(); ++t) put32(h.data() + 44 + 4 * t, rgnid_[t]);
    std::uint8_t* root = h.data() + 180;
    put64(root + 4, eof());
    put64(root + 12, region_base(region_count_ - 1));
    put64(root + 20, free_bytes());
    put64(root + 28, 0);
    put64(root + 36, nbt_root_.bid);
    put64(root + 44, nbt_root_.ib);
    put64(root + 52, bbt_root_.bid);
    put64(root + 60, bbt_root_.ib);
    root[68] = 0x02;                         // VALID_AMAP2
    std::memset(h.data() + 256, 0xFF, 256);  // rgbFM, rgbFP
    h[512] = 0x80;
    h[513] = options_.encode_blocks ? 0x01 : 0x00;
    put64(h.data() + 516, next_block_bid_);
    put32(h.data() + 4, crc32({h.data() + 8, 471}));
    put32(h.data() + 524, crc32({h.data() + 8, 516}));
    pwrite_all(h.data(), h.size(), 0);
  }

  void check_open() const {
    if (fd_ < 0) throw Error(Error::Code::kClosed, "the file is closed");
    if (broken_)
      throw Error(Error::Code::kClosed,
                  "an earlier write failed; the file holds what the last commit wrote");
  }

  struct Region {
    std::array<std::uint8_t, kMapBytes> bits{};
    bool dirty = true;
    bool written = false;
  };

  int fd_ = -1;
  std::filesystem::path path_;
  DatabaseOptions options_;
  bool broken_ = false;
  std::uint64_t committed_eof_ = 0;  // the end of the file the last header on disk names

  std::uint64_t region_count_ = 0;
  std::map<std::uint64_t, Region> resident_;  // see region()
  std::uint64_t free_slots_ = 0;              // slots no allocation map marks
  std::uint64_t cursor_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;  // kBufferCapacity bytes once first used
  std::size_t buffer_size_ = 0;
  std::uint64_t buffer_ib_ = 0;
  std::uint64_t bytes_written_ = 0;

  std::array<std::uint32_t, 32> rgnid_{};
  Bid next_block_bid_ = 4;
  std::uint64_t next_page_bid_ = 1;
  std::uint32_t unique_ = 0;
  std::uint64_t commits_ = 0;

  TreePages nbt_pages_{*this, kPageNbt}, bbt_pages_{*this, kPageBbt};
  BTree<NodeRecord> nbt_{nbt_pages_};
  BTree<BlockRecord> bbt_{bbt_pages_};
  PageRef nbt_root_{}, bbt_root_{};
  // (offset, size) released since the last commit, and released before it.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> freed_now_, freed_prev_;

  friend class Database;
};

// ---- Database ----

Database::Database(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Database Database::create(const std::filesystem::path& path, const DatabaseOptions& options) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST)
      throw Error(Error::Code::kFileExists, "the file " + path.string() + " already exists");
    throw_io("creating " + path.string());
  }
  auto impl = std::make_unique<Impl>(fd, path, options);
  try {
    impl->initialize();
  } catch (...) {
    impl.reset();
    std::error_code ec;
    std::filesystem::remove(path, ec);  // ours, just made, and never valid
    throw;
  }
  return Database(std::move(impl));
}

Nid Database::allocate_nid(NidType type) { return impl_->allocate_nid(type); }
void Database::reserve_nid(Nid nid) { impl_->reserve_nid(nid); }
Bid Database::write_block(std::span<const std::byte> bytes) {
  return impl_->write_block(bytes, false);
}
Bid Database::write_data(std::span<const std::byte> bytes) { return impl_->write_data(bytes); }
Bid Database::write_subnodes(std::span<const SubnodeEntry> entries) {
  return impl_->write_subnodes(entries);
}
void Database::release(Bid bid) { impl_->release(bid); }
Bid Database::block_mark() const { return impl_->block_mark(); }
std::size_t Database::discard_blocks_since(Bid mark) { return impl_->discard_blocks_since(mark); }
void Database::put_node(const NodeEntry& entry) { impl_->put_node(entry); }
void Database::remove_node(Nid nid) { impl_->remove_node(nid); }
std::optional<NodeEntry> Database::find_node(Nid nid) const { return impl_->find_node(nid); }
void Database::renamed(const std::filesystem::path& path) { impl_->path_ = path; }
void Database::commit() { impl_->commit(); }
void Database::close() { impl_->close(); }
bool Database::is_open() const { return impl_ && impl_->is_open(); }
std::uint64_t Database::file_size() const { return impl_->file_size(); }
DatabaseStatistics Database::statistics() const { return impl_->statistics(); }

// ---- DataStream ----

// A stream keeps the data blocks of its current 1,021 (an XBLOCK's worth) and writes the
// XBLOCK over them once a block follows, so that its memory does not grow with the value.
struct DataStream::State {
  static constexpr std::size_t kFan = (kMaxBlockData - 8) / 8;  // blocks under one XBLOCK
  Database* db = nullptr;
  std::vector<std::byte> block;
  std::vector<Bid> leaves;  // full data blocks not yet under an XBLOCK
  std::vector<Bid> xblocks;
  std::uint64_t size = 0;
  bool finished = false;

  void add_leaf(std::span<const std::byte> bytes) {
    if (leaves.size() == kFan) {
      const std::vector<std::uint32_t> sizes(kFan, static_cast<std::uint32_t>(kMaxBlockData));
      std::vector<Bid> inner;
      xblocks.push_back(db->impl_->tree_over(leaves, sizes, inner));
      leaves.clear();
    }
    leaves.push_back(db->impl_->write_block(bytes, false));
  }
};

DataStream::DataStream(Database& db) : state_(std::make_unique<State>()) {
  state_->db = &db;
  state_->block.reserve(kMaxBlockData);
  state_->leaves.reserve(State::kFan);
}
DataStream::DataStream(DataStream&&) noexcept = default;
DataStream::~DataStream() {
  if (!state_ || state_->finished) return;
  try {
    for (Bid b : state_->leaves) state_->db->impl_->release_one(b);
    for (Bid x : state_->xblocks) state_->db->impl_->release(x);
  } catch (...) {  // the database is closed or broken: nothing to give back
  }
}

void DataStream::append(std::span<const std::byte> bytes) {
  State& s = *state_;
  while (!bytes.empty()) {
    if (s.block.empty() && bytes.size() >= kMaxBlockData) {
      // Whole blocks go from the caller's bytes to the file buffer without a copy here.
      s.add_leaf(bytes.first(kMaxBlockData));
      s.size += kMaxBlockData;
      bytes = bytes.subspan(kMaxBlockData);
      continue;
    }
    const std::size_t n = std::min(bytes.size(), kMaxBlockData - s.block.size());
    s.block.insert(s.block.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
    s.size += n;
    if (s.block.size() == kMaxBlockData) {
      s.add_leaf(s.block);
      s.block.clear();
    }
  }
}

std::uint64_t DataStream::size() const { return state_->size; }

Bid DataStream::finish() {
  State& s = *state_;
  if (s.size > 0xFFFFFFFFull)
    throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
  if (!s.block.empty() || (s.leaves.empty() && s.xblocks.empty())) {
    s.add_leaf(s.block);
    s.block.clear();
  }
  const std::uint32_t last = static_cast<std::uint32_t>(
      s.size - (s.size == 0 ? 0 : (s.size - 1) / kMaxBlockData * kMaxBlockData));
  std::vector<std::uint32_t> sizes(s.leaves.size(), static_cast<std::uint32_t>(kMaxBlockData));
  sizes.back() = last;
  std::vector<Bid> inner;
  Bid root = 0;
  if (s.xblocks.empty()) {
    root = s.db->impl_->tree_over(s.leaves, sizes, inner);
  } else {
    // Over 1,021 blocks: an XXBLOCK over the XBLOCKs written and one over the rest.
    std::uint64_t rest = 0;
    for (auto n : sizes) rest += n;
    s.xblocks.push_back(s.db->impl_->write_tree_block(1, s.leaves, rest));
    s.leaves.clear();  // now below the XBLOCK: released with it if what follows fails
    if (s.xblocks.size() > State::kFan)
      throw Error(Error::Code::kInvalidArgument, "a value larger than 4 GiB cannot be stored");
    root = s.db->impl_->write_tree_block(2, s.xblocks, s.size);
  }
  s.finished = true;
  return root;
}

// ---- DataTree ----

std::uint64_t DataTree::size() const {
  std::uint64_t total = 0;
  for (auto s : sizes_) total += s;
  return total;
}

void DataTree::set_block(Database& db, std::size_t index, std::span<const std::byte> bytes) {
  if (index > blocks_.size())
    throw Error(Error::Code::kInvalidArgument, "data tree blocks are set in order");
  if (bytes.empty() || bytes.size() > kMaxBlockData)
    throw Error(Error::Code::kInvalidArgument, "a data tree block holds 1 to 8176 bytes");
  const Bid bid = db.impl_->write_block(bytes, false);
  if (index == blocks_.size()) {
    blocks_.push_back(bid);
    sizes_.push_back(static_cast<std::uint32_t>(bytes.size()));
  } else {
    db.impl_->release_one(blocks_[index]);
    blocks_[index] = bid;
    sizes_[index] = static_cast<std::uint32_t>(bytes.size());
  }
  dirty_ = true;
}

Bid DataTree::root(Database& db) {
  if (!dirty_) return root_;
  for (Bid b : inner_) db.impl_->release_one(b);
  inner_.clear();
  root_ = blocks_.empty() ? 0 : db.impl_->tree_over(blocks_, sizes_, inner_);
  dirty_ = false;
  return root_;
}

void DataTree::release(Database& db) {
  for (Bid b : inner_) db.impl_->release_one(b);
  for (Bid b : blocks_) db.impl_->release_one(b);
  inner_.clear();
  blocks_.clear();
  sizes_.clear();
  root_ = 0;
  dirty_ = true;
}

}  // namespace larkfield::pst::ndb
