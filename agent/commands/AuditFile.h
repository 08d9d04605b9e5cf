#pragma once
// AuditFile: a file that tcam-agent appends records to on the operator's behalf (the sweep
// audit), opened so that nothing planted can redirect the lines or stall the agent:
// - every directory on the path is entered with O_NOFOLLOW, so that no component of it, the
//   file included, may be a symbolic link;
// - the file must be a regular file owned by this user: a FIFO, a device or another user's file
//   is refused, and opening never blocks (O_NONBLOCK, then fstat);
// - checking creates nothing: the file is created (mode 0600) only by open(), which the run
//   calls once it holds the namespace lock, so a refused run leaves no file behind.
#include <string>

#include "contracts/shm/StoreFiles.h"

namespace VornTcamAgent {

class AuditFile {
  public:
    // Checks the path and, when the file exists, the file. `option` names the option in
    // messages. Throws BadInput.
    AuditFile(std::string option, std::string path);

    // Opens the file for appending, creating it when absent, and checks it again. Throws BadInput.
    void open();
    bool isOpen() const { return static_cast<bool>(file_); }

    // Appends `text` with write(2) and syncs it to the file. Throws std::runtime_error.
    // Requires: open() succeeded.
    void append(std::string const& text);

    std::string const& path() const { return path_; }

  private:
    [[noreturn]] void refuse(std::string const& problem) const;
    // Refuses what `fd` (or, with fd -1, the name in the directory) is when it is no regular
    // file of this user.
    void checkFile(int fd) const;

    std::string option_;
    std::string path_;
    QelSharedMem::FileDescriptor directory_;  // the directory that holds the file
    std::string name_;                        // the file's name in it
    QelSharedMem::FileDescriptor file_;
};

}  // namespace VornTcamAgent
