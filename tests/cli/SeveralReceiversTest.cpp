// z500ctl on several receivers at once and its scan, in-process: simulated
// receivers on ptys (some faulty), an echoing line, a silent one, a pty
// nobody answers and a device that is not there, all mapped as COM ports.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "PortMap.h"
#include "PortState.h"
#include "receiver/TraceLines.h"
#include "SimulatedReceiver.h"
#include "Z500Ctl.h"

using namespace std::chrono_literals;
using z500sim::FrameKind;

namespace {

struct TRun { int Code; std::string Out, Err; double Seconds; };

// The objects of a JSON array, each as its fields' texts: strings as they
// are, numbers, "null", and "[...]" for an array; fails on text that is no JSON.
std::vector<std::map<std::string, std::string>> JsonObjects(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_TRUE(error.error == QJsonParseError::NoError && document.isArray()) << text;
  std::vector<std::map<std::string, std::string>> objects;
  for (const QJsonValue item : document.array()) {
    auto& object = objects.emplace_back();
    const QJsonObject fields = item.toObject();
    for (auto f = fields.begin(); f != fields.end(); ++f)
      object[f.key().toStdString()] = f->isString()   ? f->toString().toStdString()
                                      : f->isDouble() ? std::to_string(f->toInteger())
                                      : f->isNull()   ? "null"
                                                      : "[...]";
  }
  return objects;
}

// Simulated receivers, and other lines, as COM1, COM2, ... of the default
// port map.
class SeveralReceiversTest : public ::testing::Test {
protected:
  ~SeveralReceiversTest() override { QuarlComm32::SetDefaultPortMap(nullptr); }
  // Adds a simulator with `setup`'s options as the next COM port.
  z500sim::Simulator& Add(const std::function<void(z500sim::Options&)>& setup = {}) {
    z500sim::Options options;
    if (setup) setup(options);
    Receivers.push_back(std::make_unique<SimulatedReceiver>(options));
    Map(Receivers.back()->Path);
    return *Receivers.back()->Sim;
  }
  void Map(const std::string& path) {
    Paths.push_back(path);
    std::vector<QuarlComm32::TPortEntry> entries;
    for (size_t i = 0; i < Paths.size(); ++i) entries.push_back({static_cast<int>(i + 1), Paths[i]});
    QuarlComm32::SetDefaultPortMap(std::make_shared<QuarlComm32::TFixedPortMap>(entries));
  }
  TRun Ctl(std::vector<std::string> args, Z500Ctl::TInterrupt* interrupt = nullptr) {
    args.insert(args.begin(), "z500ctl");
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int code = Z500Ctl::Run(static_cast<int>(argv.size()), argv.data(), out, err, false, interrupt);
    return {code, out.str(), err.str(), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
  }

  std::vector<std::unique_ptr<SimulatedReceiver>> Receivers;
  std::vector<std::string> Paths;
};

// Each kind of port is told apart, all at once in about one time-out, and
// with nothing sent that changes a receiver (no unlog: it keeps logging);
// all-found then takes the receivers and only them.
TEST_F(SeveralReceiversTest, ScanTellsEachPortApartInOneTimeOutAndAllFoundTakesTheReceivers) {
  // Its periodic output now and then shares a package with the answer.
  auto& logging = Add([](auto& o) { o.interval = 7, o.logPeriodMs = 300; });
  auto& quiet = Add([](auto& o) { o.interval = 9, o.cutoff = 15, o.unlogged = true; });
  Add([](auto& o) { o.echo = true; });
  Add([](auto& o) { o.silent = true; });
  const z500sim::Pty bare = z500sim::OpenPty();  // nobody at the other end
  Map(bare.slavePath);
  Map("/nonexistent/ttyZ500");
  struct Want { std::string Status, Interval, Cutoff; } want[] = {
      {"receiver", "7", "12"}, {"receiver", "9", "15"}, {"echo", "", ""}, {"silent", "", ""}, {"silent", "", ""},
      {"unavailable", "", ""}};
  const TRun scan = Ctl({"--timeout", "1.5", "scan", "--json"});
  EXPECT_EQ(scan.Code, 0) << scan.Err;
  EXPECT_GE(scan.Seconds, 1.5);
  EXPECT_LT(scan.Seconds, 3.5) << "one time-out for every port, not one each";
  const auto objects = JsonObjects(scan.Out);
  ASSERT_EQ(objects.size(), std::size(want)) << scan.Out;
  for (size_t i = 0; i < objects.size(); ++i) {
    auto o = objects[i];
    EXPECT_EQ(o["port"], "COM" + std::to_string(i + 1));
    EXPECT_EQ(o["device"], Paths[i]);
    EXPECT_EQ(o["status"], want[i].Status) << scan.Out;
    EXPECT_EQ(o["interval"] + "/" + o["cutoff"], want[i].Interval + "/" + want[i].Cutoff) << o["port"];
  }
  EXPECT_NE(objects.back().at("reason").find("No such file or directory"), std::string::npos);
  for (auto* sim : {&logging, &quiet})
    for (const auto& frame : sim->Frames()) EXPECT_EQ(frame.kind, FrameKind::ReadParameters);
  EXPECT_TRUE(logging.Logging());

  const TRun found = Ctl({"--port", "all-found", "--timeout", "1.5", "--json", "params"});
  EXPECT_EQ(found.Code, 0) << found.Err;
  EXPECT_NE(found.Err.find("found 2 receivers: COM1, COM2"), std::string::npos) << found.Err;
  const auto params = JsonObjects(found.Out);
  ASSERT_EQ(params.size(), 2u) << found.Out;
  EXPECT_EQ(params[1].at("port") + " " + params[1].at("interval"), "COM2 9");
}

// Four receivers are set at once: the four together take far less than four
// runs one after another, and their lines come whole, each with its port.
TEST_F(SeveralReceiversTest, ParamsSetOnFourTakesAboutAsLongAsOnOne) {
  for (int i = 0; i < 4; ++i) Add();
  const TRun one = Ctl({"--port", "COM1", "params", "set", "30", "20"});
  const auto before = static_cast<ptrdiff_t>(Receivers[0]->Sim->Frames().size());
  const std::string trace = ::testing::TempDir() + "four.trace";
  const TRun four = Ctl({"--port", "COM1", "--port", "COM2", "--port", "com02", "--port", "COM3", "--port", "COM4",
                         "--trace", trace, "params", "set", "30", "20"});
  ASSERT_EQ(one.Code + four.Code, 0) << one.Err << four.Err;
  EXPECT_EQ(one.Out, "interval 30\ncutoff 20\n");
  for (const auto& r : Receivers) EXPECT_EQ(int(r->Sim->Interval()) * 100 + r->Sim->Cutoff(), 3020);
  std::istringstream lines(four.Out);
  std::map<std::string, int> perPort;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, std::regex("COM[1-4]: (interval 30|cutoff 20)"))) << line;
    ++perPort[line.substr(0, 4)];
  }
  EXPECT_EQ(perPort, (std::map<std::string, int>{{"COM1", 2}, {"COM2", 2}, {"COM3", 2}, {"COM4", 2}}));
  EXPECT_LT(four.Seconds, 2.5 * one.Seconds) << one.Seconds << " s for one";
  // The trace holds, under each port, the frames its receiver got in that run.
  std::map<std::string, std::vector<Bytes>> traced;
  for (const auto& l : ReadTrace(trace))
    if (l.Direction == '>') traced[l.Port].push_back(l.Data);
  for (size_t i = 0; i < Receivers.size(); ++i) {
    std::vector<Bytes> seen;
    for (const auto& f : Receivers[i]->Sim->Frames()) seen.push_back(f.bytes);
    if (i == 0) seen.erase(seen.begin(), seen.begin() + before);
    EXPECT_EQ(traced["COM" + std::to_string(i + 1)], seen) << i;
  }
  // One that cannot be written is said once, and the work is done.
  const TRun blind = Ctl({"--port", "COM1", "--trace", "/nonexistent/folder/z500.trace", "params"});
  EXPECT_EQ(blind.Code, 0) << blind.Err;
  EXPECT_EQ(blind.Err.find("line trace: cannot open"), blind.Err.rfind("line trace: cannot open")) << blind.Err;
  EXPECT_NE(blind.Err.find("line trace: cannot open"), std::string::npos) << blind.Err;
}

// A silent receiver, a refused firmware block or a port that is not there
// fails on its own port: the others are done, and the exit code is the worst.
TEST_F(SeveralReceiversTest, OneFailingReceiverLeavesTheOthersDoneAndGivesTheWorstCode) {
  const std::vector<uint8_t> image(600, 0x5A);
  const std::string file = ::testing::TempDir() + "several.088.rxf";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), 600);
  using TSetup = std::function<void(z500sim::Options&)>;
  struct Case { const char* Name; TSetup Third; bool Missing; std::vector<std::string> Args; int Code; std::string Says; }
  cases[] = {
      {"silent", [](auto& o) { o.silent = true; }, false, {"--timeout", "1", "params", "set", "30", "20"},
       Z500Ctl::xTimeout, "z500ctl: COM3: no answer from the receiver to the parameter setting within 1 s"},
      {"refused", [](auto& o) { o.blockResult = 2, o.blockResultAt = 2; }, false, {"upgrade", file},
       Z500Ctl::xRefused, "z500ctl: COM3: the receiver answered the block at 0x40008080 with error 2"},
      {"missing", {}, true, {"--json", "files"}, Z500Ctl::xPort, "z500ctl: COM3: cannot open COM3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Receivers.clear(), Paths.clear();
    Add(), Add();
    if (c.Missing) Map("/nonexistent/ttyZ500"); else Add(c.Third);
    std::vector<std::string> args = {"--port", "COM1", "--port", "COM2", "--port", "COM3"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TRun run = Ctl(args);
    EXPECT_EQ(run.Code, c.Code) << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    for (size_t i = 0; i < 2; ++i) {
      const auto& sim = *Receivers[i]->Sim;
      if (c.Args.back() == file) {
        EXPECT_EQ(sim.Firmware(), image);
      }
      if (c.Args.back() == "20") {
        EXPECT_EQ(sim.Interval(), 30);
      }
    }
    if (c.Args.back() != "files") continue;
    const auto objects = JsonObjects(run.Out);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0].at("exit") + objects[0].at("error") + objects[2].at("exit"), "0null3");
    EXPECT_EQ(objects[1].count("files"), 1u) << run.Out;
  }
  // Signals first, then the highest code.
  EXPECT_EQ(Z500Ctl::WorstExitCode(Z500Ctl::xNotDone, 143), 143);
  EXPECT_EQ(Z500Ctl::WorstExitCode(130, Z500Ctl::xOutput), 130);
  EXPECT_EQ(Z500Ctl::WorstExitCode(Z500Ctl::xPort, Z500Ctl::xRefused), Z500Ctl::xRefused);
}

// A signal ends every link and the scan at once, each port closed.
TEST_F(SeveralReceiversTest, AnInterruptEndsEveryLinkWithTheSignalsCode) {
  struct Case { std::vector<std::string> Args; FrameKind Waiting; } cases[] = {
      {{"--timeout", "60", "files"}, FrameKind::Directory},
      {{"--timeout", "60", "scan"}, FrameKind::ReadParameters},
  };
  for (const auto& c : cases) {
    Receivers.clear(), Paths.clear();
    for (int i = 0; i < 3; ++i) Add([](auto& o) { o.silent = true; });
    Z500Ctl::TInterrupt interrupt;
    std::chrono::steady_clock::time_point raised;
    std::thread stop([&] {
      for (const auto& r : Receivers) r->Sim->WaitForFrames(c.Waiting, 1, 20s);
      raised = std::chrono::steady_clock::now();
      interrupt.Raise(SIGTERM);
    });
    std::vector<std::string> args = {"--port", "COM1", "--port", "COM2", "--port", "COM3"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TRun run = Ctl(args, &interrupt);
    const auto ended = std::chrono::steady_clock::now();
    stop.join();
    EXPECT_EQ(run.Code, 128 + SIGTERM) << run.Err;
    EXPECT_LT(std::chrono::duration<double>(ended - raised).count(), 2.0);
    EXPECT_NE(run.Err.find("stopped by SIGTERM"), std::string::npos) << run.Err;
    for (const auto& path : Paths) EXPECT_TRUE(PortIsFree(path)) << path;
  }
}

TEST(Z500CtlVersion, VersionPrintsTheProgramAndItsVersion) {
  const char* argv[] = {"z500ctl", "--version"};
  std::ostringstream out, err;
  EXPECT_EQ(Z500Ctl::Run(2, argv, out, err, false), 0);
  EXPECT_EQ(out.str(), "z500ctl " QUARL_VERSION "\n");
}

}  // namespace

