// The UUCP lock file that marks a serial device as held, "LCK..ttyUSB0" in
// /var/lock: the holder's process id as ten right-aligned digits and a
// newline (the HDB form that minicom writes; QSerialPort writes the id on the
// first of several lines). One object takes it and lets it go.
//
// The lock directory is writable by every local user, so anything may stand
// at the path: a link, a pipe, a huge or half-written file, one replaced
// between two calls. What stands there is opened without following links or
// blocking, read a bounded amount and only when it is a regular file, and
// counts as held unless it plainly is not; an empty one that has stayed empty
// for a few seconds is plainly not. A stale file is taken over, never removed
// by its name; ours is removed only while the name still leads to it. One
// with another name (a hard link), or another user's while we are root, is
// never written: it may be anyone's file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace serial {

// "LCK..ttyUSB0"; a device name with directories in it has them joined by '_'
// ("LCK..pts_3"), as every program that honours these files writes it.
std::string LockFileName(std::string deviceName);

// The process id a lock file's text names, after any leading blanks: HDB's
// ten digits or QLockFile's first line. 0 when it names none.
pid_t LockFilePid(std::string_view contents);

// Removes `path` only while it names the file `device`:`inode`. Makes only
// async-signal-safe calls, so that a signal handler may use it.
void RemoveLockFileIfOurs(const char* path, dev_t device, ino_t inode);

class LockFile {
 public:
  enum class Outcome {
    kTaken,    // the file at the path is ours and names this process
    kHeld,     // a live holder, or something unknown, stands at the path
    kWithout,  // no file could be made here (no directory, not writable,
               // full, a stale file of another user's or with another name):
               // the device is not marked
  };

  LockFile() = default;
  ~LockFile() { Release(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Marks the device as held by this process with the file at `path`. Never
  // waits on anyone: a file someone else is writing counts as held.
  Outcome Take(const std::string& path);
  // Removes the file, if it is still ours, and lets it go.
  void Release();
  // Lets the file go without looking at it: someone (the process's end) has
  // removed it already.
  void Forget();

  bool taken() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

 private:
  std::optional<Outcome> Keep(int fd, const std::string& path, bool created);

  int fd_ = -1;  // flock'ed while held, so that no one takes the file for stale
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace serial
