// z500ctl's arguments, parsed without a port: any argument list ends in
// help (code 0, nothing on the error stream), one error line (code 2), or
// arguments within their rules. File names printed and taken back are the
// same bytes.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NameText.h"
#include "Z500Ctl.h"

using namespace Z500Ctl;

namespace {

// The name as 'files' prints it, with some extension.
std::string Printed(const Z500::TFileName& name, const char* extension = "GNS") {
  Z500::TDirectoryEntry e;
  e.Name = name;
  std::copy_n(extension, 3, e.Extension.begin());
  return PrintedName(e);
}

// Words the parser knows, so that the fuzzer reaches past the first error.
const char* const kWords[] = {"params", "set", "files", "--json", "delete", "format", "--yes", "upgrade",
                              "sound", "reset-baud", "unlog", "--port", "--timeout", "--handshake-timeout",
                              "--help", "--help-all", "COM1", "5", "60", "89", "AB.GNS", "z.088.rxf", "--",
                              "scan", "ports", "all-found", "--trace", "--version", "COM2", "com02"};

void CheckArguments(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"z500ctl"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const auto result = ParseArguments(static_cast<int>(argv.size()), argv.data(), out, err);
  if (const int* code = std::get_if<int>(&result)) {
    FUZZ_CHECK(*code == xOk || *code == xUsage);
    if (*code == xOk) {
      FUZZ_CHECK(!out.str().empty() && err.str().empty());
    } else {
      const std::string e = err.str();
      FUZZ_CHECK(e.rfind("z500ctl: ", 0) == 0 && e.back() == '\n');
      FUZZ_CHECK(std::count(e.begin(), e.end(), '\n') == 1);
    }
    return;
  }
  const TArguments& a = std::get<TArguments>(result);
  FUZZ_CHECK(out.str().empty() && err.str().empty());
  FUZZ_CHECK(a.Timeout > 0 && a.Timeout <= MaxTimeoutSeconds);
  FUZZ_CHECK(a.HandshakeTimeout > 0 && a.HandshakeTimeout <= MaxTimeoutSeconds);
  if (a.Command == TCommand::ParamsSet) FUZZ_CHECK(a.Interval <= 60 && a.Cutoff <= 89);
  // Every port once, the first of them the one a single-port run opens, and
  // a delete never reaches several receivers.
  FUZZ_CHECK(!a.Ports.empty() && a.Ports.front() == a.Port);
  for (size_t i = 0; i < a.Ports.size(); ++i)
    FUZZ_CHECK(std::count(a.Ports.begin(), a.Ports.end(), a.Ports[i]) == 1);
  if (a.Command == TCommand::Delete) FUZZ_CHECK(!a.Several());
  if (a.Command == TCommand::Delete) {
    FUZZ_CHECK(!a.Names.empty());
    for (size_t i = 0; i < a.Names.size(); ++i) {
      FUZZ_CHECK(std::find(a.Names.begin(), a.Names.begin() + static_cast<ptrdiff_t>(i), a.Names[i]) ==
                 a.Names.begin() + static_cast<ptrdiff_t>(i));
      // The name as 'files' would print it names the same 8 bytes, and the
      // same extension where one was given.
      const TNameArgument& n = a.Names[i];
      const std::string extension = n.Extension ? std::string(n.Extension->begin(), n.Extension->end()) : "GNS";
      const auto back = DeleteArgument(Printed(n.Name, extension.c_str()));
      FUZZ_CHECK(back && back->Name == n.Name);
      if (n.Extension) FUZZ_CHECK(back->Extension == n.Extension);
    }
  } else {
    FUZZ_CHECK(a.Names.empty());
  }
}

void CheckNameText(const std::string& bytes) {
  const std::span<const uint8_t> raw(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const std::string printed = EscapeBytes(raw);
  FUZZ_CHECK(std::all_of(printed.begin(), printed.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));
  FUZZ_CHECK(UnescapeBytes(printed) == bytes);
  // Taken as printed text: either refused, or bytes that print and read back
  // as themselves.
  if (const auto back = UnescapeBytes(bytes)) {
    const std::string again = EscapeBytes(std::span(reinterpret_cast<const uint8_t*>(back->data()), back->size()));
    FUZZ_CHECK(UnescapeBytes(again) == back);
  }
  if (const auto name = NameArgument(bytes)) {
    FUZZ_CHECK(NameArgument(Printed(*name)) == name);
    FUZZ_CHECK(NameArgument(Printed(*name, ".  ")) == name);
  }
  // Any 8 name bytes and 3 extension bytes, printed, name those 8 bytes.
  if (bytes.size() >= 11) {
    Z500::TFileName name;
    std::copy_n(bytes.begin(), 8, name.begin());
    FUZZ_CHECK(NameArgument(Printed(name, bytes.data() + 8)) == name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
    CheckNameText(in.ConsumeRemainingBytesAsString());
    return 0;
  }
  std::vector<std::string> args;
  while (in.remaining_bytes() > 0 && args.size() < 12) {
    if (in.ConsumeBool())
      args.push_back(in.PickValueInArray(kWords));
    else
      args.push_back(in.ConsumeRandomLengthString(40));
  }
  CheckArguments(args);
  return 0;
}
