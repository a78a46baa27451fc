#include "PortHolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace QuarlComm32 {
namespace {

// The command name of process `pid`, control characters shown as '?';
// empty when the process has gone.
std::string CommandName(const std::string& proc, int pid) {
  std::ifstream comm(proc + "/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!std::getline(comm, name)) return {};
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return name;
}

// The owner of a lock on the file `st` names, from lines like
// "1: FLOCK  ADVISORY  WRITE 2335 00:1a:4 0 EOF"; 0 when none.
int LockOwner(const std::string& proc, const struct stat& st) {
  std::ifstream locks(proc + "/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
    std::istringstream fields(line);
    std::string id, type, mode, access, where;
    int pid = 0;
    if (!(fields >> id >> type >> mode >> access >> pid >> where)) continue;
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
    if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino && pid > 0) return pid;
  }
  return 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether process `pid` has the file `st` names open (false where its
// descriptors may not be looked at).
bool HasOpen(const std::string& proc, int pid, const struct stat& st) {
  const std::string folder = proc + "/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(folder.c_str());
  if (!fds) return false;
  bool found = false;
  while (const dirent* e = ::readdir(fds)) {
    struct stat target {};
    if (e->d_name[0] != '.' && ::fstatat(::dirfd(fds), e->d_name, &target, 0) == 0 && SameFile(target, st)) {
      found = true;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

// A process with the file open: another one first, else this one.
int Opener(const std::string& proc, const struct stat& st) {
  const int self = static_cast<int>(::getpid());
  bool selfHasIt = false;
  DIR* folder = ::opendir(proc.c_str());
  if (!folder) return 0;
  int found = 0;
  while (const dirent* e = ::readdir(folder)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || !HasOpen(proc, static_cast<int>(pid), st)) continue;
    if (pid == self) {
      selfHasIt = true;
      continue;
    }
    found = static_cast<int>(pid);
    break;
  }
  ::closedir(folder);
  return found != 0 ? found : selfHasIt ? self : 0;
}

}  // namespace

TPortHolder FindPortHolder(const std::string& path, const std::string& procRoot) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  // The scan of every process's descriptors only when no lock names one.
  int pid = LockOwner(procRoot, st);
  std::string name = pid != 0 ? CommandName(procRoot, pid) : std::string();
  if (!name.empty()) return {pid, std::move(name), true};
  pid = Opener(procRoot, st);
  name = pid != 0 ? CommandName(procRoot, pid) : std::string();
  return name.empty() ? TPortHolder{} : TPortHolder{pid, std::move(name), false};
}

}  // namespace QuarlComm32
