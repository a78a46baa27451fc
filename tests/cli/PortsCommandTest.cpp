// z500ctl ports on a fake machine: a line per port starting with its COM
// name, details indented below; JSON read back with Qt's parser.
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

TOutput Ports(bool json, const std::vector<TPortEntry>& ports, const FakePortTree& tree, bool readable = true) {
  std::ostringstream out, err;
  const int code = Z500Ctl::PortsCommand(out, err, json, TFixedPortMap(ports, readable), tree.Roots());
  return {code, out.str(), err.str()};
}

// The laptop with its USB receiver held by z500ctl, a device that has gone,
// and a path with a quote, a backslash and a newline.
TEST(PortsCommand, TextAndJsonOfEveryPort) {
  FakePortTree tree;
  tree.Laptop();
  tree.Lock(tree.Dev("ttyACM0"), 4711, "z500ctl");
  const std::string odd = tree.Node("o\"d\\d\n");
  const std::vector<TPortEntry> ports = {
      {1, tree.Dev("ttyS0")}, {2, tree.Dev("ttyACM0")}, {3, tree.Dev("ttyUSB0")}, {7, tree.Dev("gone")}, {9, odd}};
  const TOutput text = Ports(false, ports, tree);
  ASSERT_EQ(text.Code, 0) << text.Err;
  // Every path of the temporary folder is longer than the device column.
  EXPECT_EQ(text.Out, "COM1  " + tree.Dev("ttyS0") + "  open: yes\n      driver serial\n"
                      "COM2  " + tree.Dev("ttyACM0") + "  busy: z500ctl (pid 4711)\n"
                      "      usb 1546:01a8 u-blox GNSS receiver, driver cdc_acm\n"
                      "COM3  " + tree.Dev("ttyUSB0") + "  open: yes\n"
                      "      usb 0403:6001 FTDI FT232R USB UART, serial A10K3ZQ1, driver ftdi_sio\n"
                      "      by-id usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0\n"
                      "COM7  " + tree.Dev("gone") + "  missing\n"
                      "COM9  " + tree.Dev("o\"d\\d\\x0a") + "  open: yes\n");

  const TOutput json = Ports(true, ports, tree);
  QJsonParseError error{};
  const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json.Out), &error).array();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << json.Out;
  ASSERT_EQ(array.size(), 5);
  const QJsonObject acm = array[1].toObject(), ftdi = array[2].toObject();
  EXPECT_EQ(acm["port"].toString() + acm["access"].toString() + acm["holder"].toString(), "COM2busyz500ctl");
  EXPECT_EQ(acm["holder_pid"].toInt(), 4711);
  EXPECT_TRUE(acm["serial"].isNull() && acm["by_id"].isNull() && acm["group"].isNull() && ftdi["holder_pid"].isNull());
  EXPECT_EQ(ftdi["vendor_id"].toString() + ftdi["product"].toString() + ftdi["access"].toString(), "0403FT232R USB UARTyes");
  EXPECT_EQ(array[3].toObject()["access"].toString(), "missing");
  EXPECT_EQ(array[4].toObject()["device"].toString().toStdString(), odd);
}

TEST(PortsCommand, NoPortsIsNoErrorAnUnreadableListIsOne) {
  const FakePortTree tree;
  EXPECT_EQ(Ports(true, {}, tree).Out, "[]\n");
  const TOutput none = Ports(false, {}, tree);
  EXPECT_EQ(none.Code, 0);
  EXPECT_EQ(none.Out, "");
  EXPECT_EQ(none.Err, "z500ctl: no serial ports found\n");
  for (bool json : {false, true}) {
    const TOutput unreadable = Ports(json, {}, tree, false);
    EXPECT_EQ(unreadable.Code, Z500Ctl::xPort);
    EXPECT_EQ(unreadable.Out + unreadable.Err, "z500ctl: the list of serial ports cannot be read\n");
  }
}

}  // namespace
