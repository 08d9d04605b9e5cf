#pragma once
// The two ways the page audit reads a data file: the meta pages copied out with pread(2), and
// the rest through a read-only map. Internal to the page audit.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "contracts/shm/PageAudit.h"

namespace QelSharedMem::detail {

// The start of a file, read into memory with pread(2); what lies past the end of the file reads
// as zeros. Used for the two meta pages, which a writer of another process may rewrite while they
// are read: the copy is checked, never the live page.
class FileImage {
  public:
    FileImage(int fd, std::uint64_t bytes) {
        if (bytes > std::numeric_limits<std::size_t>::max() / 2) {
            error_ = ENOMEM;
            return;
        }
        size_ = static_cast<std::size_t>(bytes);
        try {
            // Not zeroed first: the reads fill it, and only what lies past the end is cleared.
            bytes_ = std::make_unique_for_overwrite<unsigned char[]>(size_);
        } catch (std::bad_alloc const&) {
            error_ = ENOMEM;
            return;
        }
        std::size_t done = 0;
        while (done < size_) {
            ssize_t const got = ::pread(fd, bytes_.get() + done, size_ - done, static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error_ = errno;
                return;
            }
            if (got == 0) break;  // past the end of the file: reads as zeros
            done += static_cast<std::size_t>(got);
        }
        std::memset(bytes_.get() + done, 0, size_ - done);
    }
    // The image; PageReadError when it could not be made (not damage: memory or a read failed).
    unsigned char const* data() const {
        if (error_ != 0) throw PageReadError(error_);
        return bytes_.get();
    }

  private:
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t size_ = 0;
    int error_ = 0;
};

// The start of a file, mapped read-only for the walk of its trees. Only the pages a tree uses are
// read (free pages can be most of the file after a large programming run), so nothing is copied
// and an unused page is never brought in. The walk reads a page only after claim() found it inside
// the file, so no read goes past the end of the file.
class FileMap {
  public:
    FileMap(int fd, std::uint64_t bytes) {
        if (bytes == 0) return;
        if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw PageReadError(ENOMEM);
        size_ = static_cast<std::size_t>(bytes);
        void* const at = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (at == MAP_FAILED) throw PageReadError(errno);
        map_ = static_cast<unsigned char const*>(at);
    }
    ~FileMap() {
        if (map_) ::munmap(const_cast<unsigned char*>(map_), size_);
    }
    FileMap(FileMap const&) = delete;
    FileMap& operator=(FileMap const&) = delete;
    unsigned char const* data() const { return map_; }

  private:
    unsigned char const* map_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace QelSharedMem::detail
