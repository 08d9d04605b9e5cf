#include "contracts/shm/PageAudit.h"

#include <fmt/format.h>
#include <lmdb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "contracts/shm/PageFiles.h"

namespace QelSharedMem {

namespace {

using detail::FileImage;
using detail::FileMap;

// LMDB's stored structures. Page numbers, transaction ids and counts are machine words, so the
// layout follows the word size of the build (a namespace is used by one word size only).
using Pgno = std::size_t;
constexpr Pgno kNoPage = ~Pgno(0);

struct PageHeader {
    Pgno pgno;
    std::uint16_t pad;
    std::uint16_t flags;
    std::uint16_t lower;  // overflow pages: these two hold the page count
    std::uint16_t upper;
};
static_assert(sizeof(PageHeader) == sizeof(Pgno) + 8);
constexpr std::size_t kHeaderSize = sizeof(PageHeader);

struct DbRecord {
    std::uint32_t pad;  // the page size, in the free-page database's record of a meta
    std::uint16_t flags;
    std::uint16_t depth;
    Pgno branchPages;
    Pgno leafPages;
    Pgno overflowPages;
    std::size_t entries;
    Pgno root;
};
static_assert(sizeof(DbRecord) == 8 + 5 * sizeof(Pgno));

struct Meta {
    std::uint32_t magic;
    std::uint32_t version;
    void* address;
    std::size_t mapSize;
    DbRecord dbs[2];  // free-page database, main database
    Pgno lastPage;
    std::size_t txnid;
};
static_assert(sizeof(Meta) == 8 + 2 * sizeof(void*) + 2 * sizeof(DbRecord) + 2 * sizeof(Pgno));

constexpr std::uint32_t kMagic = 0xBEEFC0DE;
constexpr std::uint32_t kDataVersion = kLmdbDataVersion;
constexpr std::uint16_t kBranch = 0x01, kLeaf = 0x02, kOverflow = 0x04, kMetaPage = 0x08, kLeaf2 = 0x20,
                        kSubPage = 0x40;
constexpr std::uint16_t kTypeBits = kBranch | kLeaf | kOverflow | kMetaPage | kLeaf2 | kSubPage;
constexpr std::uint16_t kBigData = 0x01, kSubData = 0x02;  // 0x04, duplicate data, is never used
constexpr std::size_t kNodeHeader = 8;                     // lo, hi, flags, key size: four 16-bit words
constexpr unsigned kMaxDepth = 32;                         // LMDB's cursor stack
// Pages a meta may count beyond the end of the file (taken and freed, never written), beyond as
// many as the file holds: more means a damaged meta.
constexpr std::uint64_t kMaxPagesPastFile = 65536;
// Database flags the service never sets; a record that has them is damaged.
constexpr std::uint16_t kUnusedDbFlags = MDB_REVERSEKEY | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERDUP | MDB_REVERSEDUP;

enum class Tree { freePages, main, named };

struct Counts {
    Pgno branch = 0, leaf = 0, overflow = 0;
    std::size_t entries = 0;
};

class Auditor {
  public:
    Auditor(std::uint64_t fileSize, std::size_t pageSize) : fileSize_(fileSize), pageSize_(pageSize) {}

    std::optional<std::string> run(int fd, std::size_t txnid, PageAuditFigures* figures) {
        if (pageSize_ < 512 || pageSize_ > 65536 || fileSize_ < 2 * pageSize_) return "file too short for its metas";
        Meta meta;
        {
            FileImage metas(fd, 2 * pageSize_);
            map_ = metas.data();
            if (!snapshotMeta(txnid, meta)) return problem_;
        }
        lastPage_ = meta.lastPage;
        // Written with pwrite, the file ends at the last page ever written: pages numbered
        // beyond it were freed by the transaction that took them and are never read, so only a
        // page a tree refers to must lie inside the file.
        filePages_ = fileSize_ / pageSize_;
        if (lastPage_ < 1 || lastPage_ > filePages_ + std::max<std::uint64_t>(filePages_, kMaxPagesPastFile))
            return fmt::format("last page {} lies outside the file of {} bytes", lastPage_, fileSize_);
        FileMap const pages(fd, std::min<std::uint64_t>(fileSize_, std::uint64_t(lastPage_ + 1) * pageSize_));
        map_ = pages.data();
        claimed_.assign(lastPage_ + 1, 0);
        claimed_[0] = claimed_[1] = 1;
        if (!tree(meta.dbs[0], Tree::freePages, "free-page database") ||
            !tree(meta.dbs[1], Tree::main, "main database"))
            return problem_;
        for (Pgno p : freePages_) {
            if (p < 2 || p > lastPage_) return fmt::format("free page number {} out of range", p);
            if (claimed_[p]) return fmt::format("page {} is listed free and is in use", p);
            claimed_[p] = 1;
        }
        for (Pgno p = 2; p <= lastPage_; ++p)
            if (!claimed_[p]) return fmt::format("page {} is neither in use nor free", p);
        if (figures) {
            figures->pages = lastPage_ + 1;
            figures->records = records_;
        }
        return std::nullopt;
    }

  private:
    bool fail(std::string message) {
        if (problem_.empty()) problem_ = std::move(message);
        return false;
    }

    unsigned char const* page(Pgno p) const { return map_ + p * pageSize_; }
    PageHeader header(Pgno p) const {
        PageHeader h;
        std::memcpy(&h, page(p), sizeof h);
        return h;
    }
    std::uint16_t word(unsigned char const* at) const {
        std::uint16_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }

    // The meta page of the snapshot: the one whose transaction id is the snapshot's. The id is
    // read again after the copy, so that a meta a writer rewrote meanwhile is not taken.
    bool snapshotMeta(std::size_t txnid, Meta& meta) {
        for (Pgno p = 0; p < 2; ++p) {
            unsigned char const* at = page(p) + kHeaderSize;
            std::memcpy(&meta, at, sizeof meta);
            std::atomic_thread_fence(std::memory_order_acquire);
            std::size_t again;
            std::memcpy(&again, at + offsetof(Meta, txnid), sizeof again);
            if (meta.txnid != txnid || again != txnid) continue;
            if (meta.magic != kMagic || meta.version != kDataVersion)
                return fail(fmt::format("meta page {} has magic {:#x} version {}", p, meta.magic, meta.version));
            if (header(p).pgno != p || !(header(p).flags & kMetaPage))
                return fail(fmt::format("meta page {} has a damaged header", p));
            if (meta.dbs[0].pad != pageSize_)
                return fail(fmt::format("meta page {} records page size {}", p, meta.dbs[0].pad));
            return true;
        }
        return fail(fmt::format("no meta page of transaction {}", txnid));
    }

    // Marks page p as used by a tree; refuses a page out of range or claimed before.
    bool claim(Pgno p, std::string_view what) {
        if (p < 2 || p > lastPage_) return fail(fmt::format("{} points to page {}, outside the used pages", what, p));
        if (p >= filePages_)
            return fail(
                fmt::format("{} points to page {}, which lies outside the file of {} bytes", what, p, fileSize_));
        if (claimed_[p]) return fail(fmt::format("{} points to page {}, which is already in use", what, p));
        claimed_[p] = 1;
        return true;
    }

    // Keys compare as LMDB's default comparator does (bytes, then length), or as native
    // integers of 4 or 8 bytes in an integer-keyed database.
    static int compare(std::string_view a, std::string_view b, bool integerKeys) {
        if (integerKeys && a.size() == b.size() && (a.size() == 4 || a.size() == 8)) {
            if (a.size() == 4) {
                std::uint32_t x, y;
                std::memcpy(&x, a.data(), 4);
                std::memcpy(&y, b.data(), 4);
                return x < y ? -1 : x > y;
            }
            std::uint64_t x, y;
            std::memcpy(&x, a.data(), 8);
            std::memcpy(&y, b.data(), 8);
            return x < y ? -1 : x > y;
        }
        int const c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        if (c != 0) return c;
        return a.size() < b.size() ? -1 : a.size() > b.size();
    }

    bool tree(DbRecord const& db, Tree kind, std::string const& name) {
        if (db.flags & kUnusedDbFlags) return fail(fmt::format("{} has flags {:#x}", name, db.flags));
        if (kind == Tree::freePages && !(db.flags & MDB_INTEGERKEY))
            return fail(fmt::format("{} has flags {:#x}", name, db.flags));
        Counts counts;
        if (db.root == kNoPage) {
            if (db.depth != 0) return fail(fmt::format("{} is empty with depth {}", name, db.depth));
        } else {
            if (db.depth == 0 || db.depth > kMaxDepth) return fail(fmt::format("{} has depth {}", name, db.depth));
            Walk walk{kind, name, db.depth, (db.flags & MDB_INTEGERKEY) != 0, counts};
            if (!node(walk, db.root, 0, nullptr, nullptr)) return false;
        }
        if (counts.branch != db.branchPages || counts.leaf != db.leafPages || counts.overflow != db.overflowPages ||
            counts.entries != db.entries)
            return fail(
                fmt::format("{} records {}/{}/{} branch/leaf/overflow pages and {} records, its tree holds "
                            "{}/{}/{} and {}",
                            name, db.branchPages, db.leafPages, db.overflowPages, db.entries, counts.branch,
                            counts.leaf, counts.overflow, counts.entries));
        return true;
    }

    struct Walk {
        Tree kind;
        std::string const& name;
        unsigned depth;
        bool integerKeys;
        Counts& counts;
    };

    // One page of a tree at `level` (the root is 0), whose keys must lie in [low, high).
    bool node(Walk& walk, Pgno p, unsigned level, std::string_view const* low, std::string_view const* high) {
        if (!claim(p, walk.name)) return false;
        PageHeader const h = header(p);
        bool const leafLevel = level + 1 == walk.depth;
        std::uint16_t const type = h.flags & kTypeBits;
        if (h.pgno != p) return fail(fmt::format("page {} of {} holds page number {}", p, walk.name, h.pgno));
        if (type != (leafLevel ? kLeaf : kBranch))
            return fail(fmt::format("page {} of {} at level {} of {} has flags {:#x}", p, walk.name, level, walk.depth,
                                    h.flags));
        if (h.lower < kHeaderSize || (h.lower - kHeaderSize) % 2 != 0 || h.lower > h.upper || h.upper > pageSize_)
            return fail(fmt::format("page {} of {} has free space bounds {}..{}", p, walk.name, h.lower, h.upper));
        std::size_t const n = (h.lower - kHeaderSize) / 2;
        if (n == 0) return fail(fmt::format("page {} of {} holds no node", p, walk.name));
        (leafLevel ? walk.counts.leaf : walk.counts.branch) += 1;

        unsigned char const* const base = page(p);
        std::vector<std::string_view> keys(n);
        std::vector<unsigned char const*> nodes(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t const offset = word(base + kHeaderSize + 2 * i);
            if (offset < h.upper || offset + kNodeHeader > pageSize_)
                return fail(
                    fmt::format("page {} of {}: node {} at offset {} outside the node area", p, walk.name, i, offset));
            unsigned char const* const at = base + offset;
            std::uint16_t const keySize = word(at + 6);
            if (offset + kNodeHeader + keySize > pageSize_)
                return fail(fmt::format("page {} of {}: key of node {} runs past the page", p, walk.name, i));
            nodes[i] = at;
            keys[i] = std::string_view(reinterpret_cast<char const*>(at + kNodeHeader), keySize);
            // A branch page's first key is never compared: its child takes the range from above.
            if (!leafLevel && i == 0) continue;
            std::string_view const* prev = (i > (leafLevel ? 0u : 1u)) ? &keys[i - 1] : low;
            if (prev && compare(*prev, keys[i], walk.integerKeys) > (prev == low ? 0 : -1))
                return fail(fmt::format("page {} of {}: key of node {} out of order", p, walk.name, i));
            if (high && compare(keys[i], *high, walk.integerKeys) >= 0)
                return fail(fmt::format("page {} of {}: key of node {} beyond the branch above", p, walk.name, i));
        }
        if (!packed(walk, p, h, nodes, leafLevel)) return false;
        if (!leafLevel) {
            for (std::size_t i = 0; i < n; ++i) {
                unsigned char const* const at = nodes[i];
                Pgno child = Pgno(word(at)) | Pgno(word(at + 2)) << 16;
                if constexpr (sizeof(Pgno) > 4) child |= Pgno(word(at + 4)) << 32;
                if (!node(walk, child, level + 1, i == 0 ? low : &keys[i], i + 1 < n ? &keys[i + 1] : high))
                    return false;
            }
            return true;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (!leafNode(walk, p, nodes[i], keys[i])) return false;
        return true;
    }

    // LMDB keeps a page's nodes packed from its free-space upper bound to its end: each node
    // takes its header, key and (in a leaf) its data or overflow page number, rounded up to
    // even. A node whose sizes were damaged overlaps its neighbour, and removing it would shift
    // the wrong bytes.
    bool packed(Walk const& walk, Pgno p, PageHeader const& h, std::vector<unsigned char const*> nodes, bool leaf) {
        std::sort(nodes.begin(), nodes.end());
        std::size_t expected = h.upper;
        for (unsigned char const* at : nodes) {
            std::size_t const offset = static_cast<std::size_t>(at - page(p));
            std::size_t size = kNodeHeader + word(at + 6);
            if (leaf)
                size += (word(at + 4) & kBigData) ? sizeof(Pgno)
                                                  : (std::size_t(word(at)) | std::size_t(word(at + 2)) << 16);
            if (offset != expected)
                return fail(fmt::format("page {} of {}: node at offset {} where one was expected at {}", p, walk.name,
                                        offset, expected));
            expected += (size + 1) & ~std::size_t(1);
        }
        if (expected != pageSize_)
            return fail(fmt::format("page {} of {}: nodes end at offset {}", p, walk.name, expected));
        return true;
    }

    bool leafNode(Walk& walk, Pgno p, unsigned char const* at, std::string_view key) {
        std::uint16_t const flags = word(at + 4);
        std::size_t const dataSize = std::size_t(word(at)) | std::size_t(word(at + 2)) << 16;
        unsigned char const* const data = reinterpret_cast<unsigned char const*>(key.data() + key.size());
        std::size_t const inPage = static_cast<std::size_t>(data - page(p));
        ++walk.counts.entries;
        ++records_;
        if (flags & ~(kBigData | kSubData))
            return fail(fmt::format("page {} of {}: node flags {:#x}", p, walk.name, flags));
        unsigned char const* value = data;
        if (flags & kBigData) {
            if (flags & kSubData) return fail(fmt::format("page {} of {}: node flags {:#x}", p, walk.name, flags));
            if (inPage + sizeof(Pgno) > pageSize_)
                return fail(fmt::format("page {} of {}: overflow reference runs past the page", p, walk.name));
            Pgno first;
            std::memcpy(&first, data, sizeof first);
            std::size_t const pages = (kHeaderSize - 1 + dataSize) / pageSize_ + 1;
            if (first < 2 || first > lastPage_ || pages > lastPage_ - first + 1 || first + pages > filePages_)
                return fail(
                    fmt::format("page {} of {}: overflow pages {}+{} out of range", p, walk.name, first, pages));
            PageHeader const h = header(first);
            std::uint32_t count;
            std::memcpy(&count, page(first) + offsetof(PageHeader, lower), sizeof count);
            if (h.pgno != first || (h.flags & kTypeBits) != kOverflow || count != pages)
                return fail(fmt::format("overflow page {} of {} has a damaged header", first, walk.name));
            for (Pgno q = first; q < first + pages; ++q)
                if (!claim(q, walk.name)) return false;
            walk.counts.overflow += pages;
            value = page(first) + kHeaderSize;
        } else if (inPage + dataSize > pageSize_) {
            return fail(fmt::format("page {} of {}: data of a node runs past the page", p, walk.name));
        }

        if (walk.kind == Tree::freePages) return freeRecord(walk, value, dataSize);
        if (flags & kSubData) {
            if (walk.kind != Tree::main || dataSize != sizeof(DbRecord))
                return fail(fmt::format("page {} of {}: misplaced database record", p, walk.name));
            DbRecord db;
            std::memcpy(&db, value, sizeof db);
            return tree(db, Tree::named, fmt::format("database \"{}\"", key));
        }
        return true;
    }

    // A free-page record: a count, then that many page numbers.
    bool freeRecord(Walk& walk, unsigned char const* value, std::size_t size) {
        if (size < sizeof(Pgno) || size % sizeof(Pgno) != 0)
            return fail(fmt::format("{}: record of {} bytes", walk.name, size));
        Pgno count;
        std::memcpy(&count, value, sizeof count);
        if (count != size / sizeof(Pgno) - 1)
            return fail(fmt::format("{}: record of {} bytes counts {} pages", walk.name, size, count));
        for (Pgno i = 1; i <= count; ++i) {
            Pgno p;
            std::memcpy(&p, value + i * sizeof p, sizeof p);
            freePages_.push_back(p);
        }
        return true;
    }

    std::uint64_t fileSize_;
    std::size_t pageSize_;
    unsigned char const* map_ = nullptr;
    Pgno lastPage_ = 0;
    std::uint64_t filePages_ = 0;
    std::vector<std::uint8_t> claimed_;
    std::vector<Pgno> freePages_;
    std::uint64_t records_ = 0;
    std::string problem_;
};

// Checks both meta pages as LMDB reads them at open, so that LMDB never maps or reads past the
// file because of a damaged meta.
std::optional<std::string> checkMetas(int fd, std::uint64_t fileSize) {
    PageHeader header;
    Meta metas[2];
    std::size_t pageSize = 0;
    for (Pgno p = 0; p < 2; ++p) {
        unsigned char raw[kHeaderSize + sizeof(Meta)];
        off_t const at = static_cast<off_t>(p * pageSize);
        ssize_t const got = ::pread(fd, raw, sizeof raw, at);
        if (got < 0) throw PageReadError(errno);
        if (got != static_cast<ssize_t>(sizeof raw)) return fmt::format("meta page {} cannot be read whole", p);
        std::memcpy(&header, raw, sizeof header);
        Meta& meta = metas[p];
        std::memcpy(&meta, raw + kHeaderSize, sizeof meta);
        if (!(header.flags & kMetaPage) || meta.magic != kMagic || meta.version != kDataVersion)
            return fmt::format("meta page {} has flags {:#x}, magic {:#x}, version {}", p, header.flags, meta.magic,
                               meta.version);
        if (p == 0) {
            pageSize = meta.dbs[0].pad;
            if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
                return fmt::format("meta page 0 records page size {}", pageSize);
        } else if (meta.dbs[0].pad != pageSize) {
            return fmt::format("meta page 1 records page size {}, meta page 0 {}", meta.dbs[0].pad, pageSize);
        }
    }
    Meta const& newest = metas[1].txnid > metas[0].txnid ? metas[1] : metas[0];
    std::uint64_t const filePages = fileSize / pageSize;
    if (newest.lastPage < 1 || newest.lastPage > filePages + std::max<std::uint64_t>(filePages, kMaxPagesPastFile))
        return fmt::format("last page {} lies outside the file of {} bytes", newest.lastPage, fileSize);
    return std::nullopt;
}

// The meta page at `at`, when it reads whole.
std::optional<Meta> readMeta(int fd, off_t at, PageHeader& header) {
    unsigned char raw[kHeaderSize + sizeof(Meta)];
    ssize_t const got = ::pread(fd, raw, sizeof raw, at);
    if (got < 0) throw PageReadError(errno);
    if (got != static_cast<ssize_t>(sizeof raw)) return std::nullopt;
    std::memcpy(&header, raw, sizeof header);
    Meta meta;
    std::memcpy(&meta, raw + kHeaderSize, sizeof meta);
    return meta;
}

}  // namespace

PageReadError::PageReadError(int error)
    : std::runtime_error(fmt::format("reading the data file failed: {}", std::strerror(error))), error_(error) {}

std::optional<std::uint32_t> otherDataVersion(int fd) {
    PageHeader header;
    auto const first = readMeta(fd, 0, header);
    if (!first || !(header.flags & kMetaPage) || first->magic != kMagic || first->version == kDataVersion)
        return std::nullopt;
    // The second meta follows the first page; its size is recorded in the first meta, or is the
    // system's page size LMDB uses when that record is not one.
    std::size_t pageSize = first->dbs[0].pad;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto const second = readMeta(fd, static_cast<off_t>(pageSize), header);
    if (!second || !(header.flags & kMetaPage) || second->magic != kMagic || second->version == kDataVersion)
        return std::nullopt;
    return first->version;
}

std::optional<std::string> auditMetas(int fd, std::uint64_t fileSize) { return checkMetas(fd, fileSize); }

std::optional<std::string> auditPages(int fd, std::uint64_t fileSize, std::size_t pageSize, std::size_t txnid,
                                      PageAuditFigures* figures) {
    return Auditor(fileSize, pageSize).run(fd, txnid, figures);
}

}  // namespace QelSharedMem
