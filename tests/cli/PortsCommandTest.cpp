// z500ctl ports: the listing as text (a line per port starting with its COM
// name, details indented below) and as JSON (parsed back), on a fake machine.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sstream>

#include "FakePortTree.h"
#include "PortsCommand.h"
#include "Z500Ctl.h"

using namespace QuarlComm32;

namespace {

struct TOutput {
  int Code;
  std::string Out, Err;
};

TOutput Ports(bool json, const IPortMap& map, const TPortRoots& roots) {
  std::ostringstream out, err;
  const int code = Z500Ctl::PortsCommand(out, err, json, map, roots);
  return {code, out.str(), err.str()};
}

// The laptop, a USB receiver held by z500ctl, and a port whose device has gone.
struct Machine {
  FakePortTree Tree;
  TFixedPortMap Map;
  Machine()
      : Map({{1, Tree.Dev("ttyS0")}, {2, Tree.Dev("ttyACM0")}, {3, Tree.Dev("ttyUSB0")}, {7, Tree.Dev("gone")}}) {
    Tree.Laptop();
    Tree.Lock(Tree.Dev("ttyACM0"), 4711, "z500ctl");
  }
};

TEST(PortsCommand, TextHasALinePerPortStartingWithItsNameAndDetailsIndented) {
  const Machine m;
  const TOutput text = Ports(false, m.Map, m.Tree.Roots());
  ASSERT_EQ(text.Code, 0) << text.Err;
  EXPECT_EQ(text.Err, "");
  // The temporary folder makes every path longer than the device column:
  // two blanks before the access then.
  const std::string want = "COM1  " + m.Tree.Dev("ttyS0") + "  open: yes\n"
                           "      driver serial\n"
                           "COM2  " + m.Tree.Dev("ttyACM0") + "  busy: z500ctl (pid 4711)\n"
                           "      usb 1546:01a8 u-blox GNSS receiver, driver cdc_acm\n"
                           "COM3  " + m.Tree.Dev("ttyUSB0") + "  open: yes\n"
                           "      usb 0403:6001 FTDI FT232R USB UART, serial A10K3ZQ1, driver ftdi_sio\n"
                           "      by-id usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0\n"
                           "COM7  " + m.Tree.Dev("gone") + "  missing\n";
  EXPECT_EQ(text.Out, want);
}

TEST(PortsCommand, JsonIsAnArrayOfObjectsWithNullWhereNothingIsKnown) {
  const Machine m;
  // A path with a quote, a backslash and a newline still reads back.
  const std::string odd = m.Tree.Node("odd\"na\\me\n1");
  const TFixedPortMap map({{2, m.Tree.Dev("ttyACM0")}, {3, m.Tree.Dev("ttyUSB0")}, {7, m.Tree.Dev("gone")}, {9, odd}});
  const TOutput json = Ports(true, map, m.Tree.Roots());
  ASSERT_EQ(json.Code, 0) << json.Err;
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json.Out), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << json.Out;
  const QJsonArray ports = doc.array();
  ASSERT_EQ(ports.size(), 4) << json.Out;
  const QJsonObject acm = ports[0].toObject(), ftdi = ports[1].toObject(), gone = ports[2].toObject();
  EXPECT_EQ(acm["port"].toString(), "COM2");
  EXPECT_EQ(acm["access"].toString(), "busy");
  EXPECT_EQ(acm["holder_pid"].toInt(), 4711);
  EXPECT_EQ(acm["holder"].toString(), "z500ctl");
  EXPECT_TRUE(acm["serial"].isNull());
  EXPECT_TRUE(acm["by_id"].isNull());
  EXPECT_EQ(ftdi["by_id"].toString().toStdString(), m.Tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0"));
  EXPECT_EQ(ftdi["vendor_id"].toString(), "0403");
  EXPECT_EQ(ftdi["product"].toString(), "FT232R USB UART");
  EXPECT_EQ(ftdi["access"].toString(), "yes");
  EXPECT_TRUE(ftdi["holder_pid"].isNull());
  EXPECT_EQ(gone["access"].toString(), "missing");
  EXPECT_EQ(ports[3].toObject()["device"].toString().toStdString(), odd);
  for (const char* key : {"port", "device", "by_id", "vendor_id", "product_id", "manufacturer", "product", "serial",
                          "driver", "access", "group", "holder_pid", "holder"})
    EXPECT_TRUE(gone.contains(key)) << key;
}

TEST(PortsCommand, NoPortsIsNoErrorAnUnreadableListIsOne) {
  const FakePortTree tree;
  const TFixedPortMap none({});
  EXPECT_EQ(Ports(true, none, tree.Roots()).Out, "[]\n");
  const TOutput text = Ports(false, none, tree.Roots());
  EXPECT_EQ(text.Code, 0);
  EXPECT_EQ(text.Out, "");
  EXPECT_EQ(text.Err, "z500ctl: no serial ports found\n");
  for (bool json : {false, true}) {
    const TOutput unreadable = Ports(json, TFixedPortMap({}, false), tree.Roots());
    EXPECT_EQ(unreadable.Code, Z500Ctl::xPort);
    EXPECT_EQ(unreadable.Out, "");
    EXPECT_EQ(unreadable.Err, "z500ctl: the list of serial ports cannot be read\n");
  }
  // Without a map given, the program's default map is listed.
  SetDefaultPortMap(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{4, tree.Dev("none")}}));
  std::ostringstream out, err;
  EXPECT_EQ(Z500Ctl::PortsCommand(out, err, false), 0);
  SetDefaultPortMap(nullptr);
  EXPECT_EQ(out.str().rfind("COM4  " + tree.Dev("none"), 0), 0u) << out.str();
}

}  // namespace
