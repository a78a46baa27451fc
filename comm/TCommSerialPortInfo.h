// TCommSerialPortInfo: the serial ports the machine has, as "COMn" texts
// sorted by number, and the conversions between such a text and its number.
// The ports come from the port map (overrides and the system's devices);
// when there are none, the list holds COM1 to COM4 so that one can be picked.
// An error while listing is reported by the port map (ReportPortListError)
// and leaves what was listed so far.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace QuarlComm32 {

class IPortMap;

class TCommSerialPortInfo {
public:
  using TStringList = std::vector<std::string>;

  static constexpr const char* Fmt_PortName = "COM%d";
  static constexpr const char* Str_PortPrefix = "COM";

  // map: where the ports are listed; nullptr: the program's default map.
  explicit TCommSerialPortInfo(std::shared_ptr<const IPortMap> map = nullptr);
  virtual ~TCommSerialPortInfo() = default;

  // Rebuilds PortList: the system's ports, or COM1 to COM4 when there are none.
  void Refresh();
  // Appends the system's ports to PortList and sorts it by number.
  void ListFromSystem();

  // The port number a name denotes ("COM3", "com3", "Com03", "COM12abc"),
  // 0 when it denotes none ("COM", "COM0", "COM-2", "LPT1", "XCOM1"): the
  // port map's reading of a name (ReadComName).
  static int PortNo(const std::string& name);
  // "COM%d" of the number, unchecked.
  static std::string PortName(int portNo);
  // PortNo of entry i1 minus PortNo of entry i2.
  static int PortListSortCompare(const TStringList& list, int i1, int i2);

  TStringList PortList;  // not kept sorted by itself; duplicates allowed

private:
  std::shared_ptr<const IPortMap> Map;
};

}  // namespace QuarlComm32
