// The port map: which serial ports the machine has, as COM numbers with the
// device path each one opens, and which path a "COMn" name opens.
//
// Ports named in QUARLCOMM_PORTS ("COM1=/dev/ttyUSB0,COM5=/tmp/ttyV0", ',' or
// ';' between entries) come first. Then the system's serial devices from sysfs:
// built-in UARTs keep the kernel's numbering (ttyS<k> is COM<k+1>), every other
// device (ttyUSB, ttyACM, ...) takes the lowest free number, in order of name
// prefix and number.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace QuarlComm32 {

struct TPortEntry {
  int Number;          // n of COMn, >= 1
  std::string Device;  // path to open
  bool operator==(const TPortEntry&) const = default;
};

class IPortMap {
public:
  virtual ~IPortMap() = default;
  // The ports in ascending COM order. False when the list cannot be read at
  // all (no port source and no override); `ports` is then empty.
  virtual bool List(std::vector<TPortEntry>& ports) const = 0;
  // The device path of COMn, or "" when the number is not mapped.
  virtual std::string DevicePath(int number) const;
};

// A map given in full, for tests and for programs that know their ports.
class TFixedPortMap : public IPortMap {
public:
  explicit TFixedPortMap(std::vector<TPortEntry> ports, bool readable = true);
  bool List(std::vector<TPortEntry>& ports) const override;

private:
  std::vector<TPortEntry> Ports;
  bool Readable;
};

// The machine's map, read anew on every call. An override whose path does
// not exist (a typo, a simulator not started yet, an adapter unplugged) is
// not listed as a port, but keeps its number: COMn still opens that path, and
// fails with the system's reason, rather than some other device.
class TSystemPortMap : public IPortMap {
public:
  // overrides: the text of QUARLCOMM_PORTS (nullptr: read the environment).
  explicit TSystemPortMap(std::string sysfsRoot = "/sys/class/tty", std::string devRoot = "/dev",
                          const char* overrides = nullptr);
  bool List(std::vector<TPortEntry>& ports) const override;
  std::string DevicePath(int number) const override;

private:
  // Every mapped port, overrides whose path is missing included.
  bool Map(std::vector<TPortEntry>& ports, std::vector<TPortEntry>* overrides) const;

  std::string SysfsRoot;
  std::string DevRoot;
  bool HasOverrideText;
  std::string OverrideText;
};

// Parses an override list. Entries that are not "COMn=path" with n >= 1 (n
// read as ComNumberOf reads it), and numbers given twice (the first stays),
// are left out and described in `problems`, one line each.
std::vector<TPortEntry> ParsePortOverrides(const std::string& text,
                                           std::vector<std::string>* problems = nullptr);

// Numbers system device names (as found in sysfs) around the numbers already
// taken by overrides; returns overrides and devices together, ascending.
std::vector<TPortEntry> NumberPorts(const std::vector<TPortEntry>& overrides,
                                    const std::vector<std::string>& deviceNames,
                                    const std::string& devRoot);

// The map used where none is given: a TSystemPortMap unless a program or test
// installed another. Installing nullptr restores the system map.
std::shared_ptr<const IPortMap> DefaultPortMap();
void SetDefaultPortMap(std::shared_ptr<const IPortMap> map);

// The largest port number a name can give; a larger one denotes no port.
constexpr int MaxComNumber = 1000000;

// A port name read once, for every place that reads one. The name starts with
// "COM" in any case; the rest is read as the C library's atol reads a number
// (leading blanks, a sign, digits up to the first non-digit). Number is that
// number when it is 1 to MaxComNumber, else 0 ("COM12abc" 12, "COM 5" 5;
// "COM", "COM0", "COM-2", "LPT1", "XCOM1" 0). Exact says that "COM" is
// followed by digits and nothing else ("COM3", "com03"; not "COM12abc",
// "COM 5", "COM+7").
struct TComName {
  int Number;
  bool Exact;
};
TComName ReadComName(const std::string& name);

// The COM number in a device name "\\.\COMn" or "COMn" (case-insensitive, n
// digits only), 0 when it is not one. Overrides name their ports by the same
// rule, without the "\\.\" prefix.
int ComNumberOf(const std::string& deviceName);

// "COM%d" of a number, unchecked.
std::string ComName(int number);

// Appends the names "COMn" of the map's ports (nullptr: the default map), in
// ascending order. False when the list cannot be read at all.
bool ListComNames(std::vector<std::string>& names, const std::shared_ptr<const IPortMap>& map = nullptr);

// A port listing that failed on an error: counted, and said on stderr the
// first time in a process. PortListErrors is the count so far.
void ReportPortListError(const char* what);
unsigned long PortListErrors();

}  // namespace QuarlComm32
