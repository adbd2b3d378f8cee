// tessacom: the host's command line for the driver.
#include <unistd.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "command_line.h"
#include "demo/demo.h"
#include "host/registry/registry.h"
#include "interruptible_input.h"
#include "shell/shell.h"
#include "soak/soak.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
  using namespace tessacom;
  Options options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.error.empty()) {
    std::cerr << "tessacom: " << options.error << "\n\n" << HelpText(options.command);
    return 2;
  }
  if (options.help || options.command.empty()) {
    std::cout << HelpText(options.command);
    return options.help ? 0 : 2;
  }
  // The commands that run until they are done end in order at Ctrl-C and SIGTERM, as serve
  // does (which takes its signals itself); the signals are blocked before any thread starts.
  if (options.command == "shell" || options.command == "soak" || options.command == "bench") InstallStopSignals();
  try {
    if (options.command == "load") return RunLoad(options, std::cout);
    if (options.command == "serve") return RunServe(options, std::cout);
    if (options.command == "bench") return RunBench(options, std::cout, std::cerr);
    if (options.command == "shell") {
      InterruptibleInput input(STDIN_FILENO, StopDescriptor());
      std::istream in(&input);
      return RunShell(options, in, std::cout, std::cerr);
    }
    if (options.command == "soak") return RunSoak(options, std::cout);
    return RunDemo(options, std::cout);
  } catch (const host::registry::RegFileError& e) {
    std::cerr << "tessacom: " << e.what() << "\n";
    return 2;
  } catch (const std::runtime_error& e) {  // a kernel image the host cannot run
    std::cerr << "tessacom: " << e.what() << "\n";
    return 1;
  }
}
