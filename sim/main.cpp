// z500-sim: a simulated Varnex Z500 receiver on a pseudo-terminal or a serial
// device, until SIGINT or SIGTERM (or until the hangup fault closes the line).
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>

#include "FirmwareFile.h"
#include "Line.h"
#include "Options.h"
#include "Simulator.h"

using namespace z500sim;

namespace {

// A symlink to the slave, removed at exit if it still points there.
class Link {
public:
  Link(std::string path, const std::string& target) : path_(std::move(path)), target_(target) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
      // A link left behind by an earlier run is replaced; anything else is not ours.
      if (!S_ISLNK(st.st_mode)) throw std::runtime_error("--link: " + path_ + " exists and is not a symbolic link");
      ::unlink(path_.c_str());
    }
    if (::symlink(target.c_str(), path_.c_str()) != 0)
      throw std::system_error(errno, std::generic_category(), "--link: cannot create " + path_);
  }
  ~Link() {
    char buf[256];
    const ssize_t n = ::readlink(path_.c_str(), buf, sizeof buf);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_) ::unlink(path_.c_str());
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

private:
  std::string path_, target_;
};

int Serve(const Options& options, const sigset_t& signals) {
  UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
  if (!signalFd) throw std::system_error(errno, std::generic_category(), "signalfd");

  UniqueFd line;
  UniqueFd slave;  // the simulator holds its own; this one closes once it runs
  std::string path;
  if (!options.device.empty()) {
    line = OpenDevice(options.device, options.baud);
    path = options.device;
  } else {
    Pty pty = OpenPty();
    line = std::move(pty.master);
    slave = std::move(pty.slave);
    path = pty.slavePath;
  }
  std::optional<Link> link;
  if (!options.link.empty()) link.emplace(options.link, path);

  TraceSink trace;
  if (options.trace) trace = [](const std::string& s) { std::fprintf(stderr, "%s\n", s.c_str()); };
  Simulator sim(std::move(line), options, trace);
  slave.Reset();

  const std::string shown = link ? options.link : path;
  if (options.device.empty()) {
    std::printf("z500-sim: receiver on %s (hardware version %u, %u files)\n", path.c_str(), options.hardwareVersion,
                options.files);
    std::printf("QUARLCOMM_PORTS=COM1=%s\n", shown.c_str());
  } else {
    std::printf("z500-sim: receiver on the serial device %s; start the tool on the port at the other end "
                "of the cable\n", path.c_str());
  }
  std::fflush(stdout);
  sim.Start();

  pollfd fds[2] = {{signalFd.Get(), POLLIN, 0}, {sim.LineClosedFd(), POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  if (fds[0].revents & POLLIN) {
    signalfd_siginfo info{};
    [[maybe_unused]] ssize_t n = ::read(signalFd.Get(), &info, sizeof info);
    std::fprintf(stderr, "z500-sim: %s, stopping\n", ::strsignal(static_cast<int>(info.ssi_signo)));
  } else {
    std::fprintf(stderr, "z500-sim: the line is closed, stopping\n");
  }
  sim.Stop();

  const Counters c = sim.Count();
  std::fprintf(stderr, "z500-sim: %llu frames received, %llu answers, %llu bytes sent\n",
               static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.answers),
               static_cast<unsigned long long>(sim.BytesSent()));
  const Bytes firmware = sim.Firmware();
  int status = 0;
  if (!options.saveFirmware.empty()) {
    std::ofstream out(options.saveFirmware, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(firmware.data()), static_cast<std::streamsize>(firmware.size()));
    if (!out) {
      std::fprintf(stderr, "z500-sim: --save-firmware: cannot write %s\n", options.saveFirmware.c_str());
      status = 1;
    } else {
      std::fprintf(stderr, "z500-sim: %zu firmware bytes written to %s\n", firmware.size(),
                   options.saveFirmware.c_str());
    }
  }
  if (!options.expectFirmware.empty()) {
    Bytes expected;
    if (const FileError error = ReadFirmwareFile("--expect-firmware", options.expectFirmware, expected)) {
      std::fprintf(stderr, "z500-sim: %s\n", error->c_str());
      status = 1;
    } else {
      const FirmwareCheck check = CompareFirmware(expected, firmware);
      std::fprintf(stderr, "z500-sim: %s\n", check.report.c_str());
      if (!check.match) status = 1;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedArgs args = ParseArgs(argc, argv);
  if (args.error) {
    std::fprintf(stderr, "z500-sim: %s\nTry 'z500-sim --help'.\n", args.error->c_str());
    return 2;
  }
  if (args.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (args.version) {
    std::puts("z500-sim " QUARL_VERSION);
    return 0;
  }
  // The firmware files are checked now: a wrong path found at exit would
  // lose the image of the whole session.
  for (const FileError& error :
       {args.options.saveFirmware.empty() ? FileError()
                                          : CheckFirmwareTarget("--save-firmware", args.options.saveFirmware),
        args.options.expectFirmware.empty() ? FileError()
                                            : CheckFirmwareSource("--expect-firmware", args.options.expectFirmware)}) {
    if (!error) continue;
    std::fprintf(stderr, "z500-sim: %s\n", error->c_str());
    return 2;
  }
  // Blocked before any thread starts, so they arrive only through the signalfd.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    return Serve(args.options, signals);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "z500-sim: %s\n", e.what());
    return 1;
  }
}
