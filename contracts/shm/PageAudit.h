#pragma once
// QelSharedMem::auditPages: a check of the page structure of one committed LMDB snapshot, read
// from the data file with pread(2), never through a map.
//
// LMDB trusts what it reads: a damaged page header, branch key or free-page number is followed
// wherever it points, and a write transaction can then allocate a page that is still in use,
// abort on an internal assertion or damage the tree further. The audit walks every tree of the
// snapshot (the free-page database, the main database and every named database it lists) from
// its root and requires of it exactly what LMDB's writer keeps true:
//   - every page is claimed once: a tree page, an overflow page or a free page number, and every
//     page from 2 to the snapshot's last page is one of them (pages 0 and 1 are the metas);
//   - a page holds its own number and the type its place in the tree calls for (branch pages
//     above the tree's depth, leaf pages at it, overflow pages where a leaf node points);
//   - its node table and every node lie inside the page;
//   - keys ascend strictly within a page and stay inside the range the branch above gives the
//     page (so that a lookup by key reaches the record a walk finds);
//   - the page, record and depth counts of every database record match the tree;
//   - every free-page record is a count followed by that many page numbers.
// Nothing is followed twice and every offset is bounds-checked, so the audit ends on any input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace QelSharedMem {

// The LMDB data format (the version in its meta pages) this build reads.
inline constexpr std::uint32_t kLmdbDataVersion = 1;

// The data file could not be read: a read failed, or memory for its copy ran out (ENOMEM). That
// says nothing about what the file holds: it is not damage.
class PageReadError : public std::runtime_error {
  public:
    explicit PageReadError(int error);
    int error() const { return error_; }

  private:
    int error_;
};

// The data version both meta pages of the LMDB data file open at `fd` record, when both carry
// LMDB's magic and meta flag and neither records the version this build reads: a file written by
// an LMDB of another data version, which this build must leave alone. Nothing otherwise.
// PageReadError when a meta page cannot be read.
std::optional<std::uint32_t> otherDataVersion(int fd);

struct PageAuditFigures {
    std::uint64_t pages = 0;    // pages of the snapshot, metas included
    std::uint64_t records = 0;  // records of every database, free-page records included
};

// Checks the two meta pages of the LMDB data file open at `fd`, of `fileSize` bytes, the way LMDB
// reads them at open (flags, magic, format version, page size) and that the newest one's last page
// lies inside the file. Run before LMDB opens a stored file: afterwards LMDB's open and its read
// of the meta cannot go past the file. Nothing when sound, otherwise what is wrong. PageReadError
// when the file cannot be read.
std::optional<std::string> auditMetas(int fd, std::uint64_t fileSize);

// Audits the snapshot of transaction `txnid` of the LMDB data file open read-only at `fd`, of
// `fileSize` bytes and pages of `pageSize` bytes. The caller holds a read transaction of that
// snapshot, so that no writer reuses its pages meanwhile. The meta pages are read with pread(2);
// the trees are walked through a read-only map of the file, touching only the pages they use and
// none past the end of the file. Returns nothing when the snapshot is sound, otherwise what is wrong
// with it. `figures`, when given, receives what was walked. PageReadError when the file cannot be
// read or mapped (not damage); std::bad_alloc when the audit's own bookkeeping finds no memory.
std::optional<std::string> auditPages(int fd, std::uint64_t fileSize, std::size_t pageSize, std::size_t txnid,
                                      PageAuditFigures* figures = nullptr);

}  // namespace QelSharedMem
