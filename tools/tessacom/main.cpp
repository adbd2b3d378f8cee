// tessacom: the host's command line for the driver.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench.h"
#include "command_line.h"
#include "demo.h"
#include "host/registry/registry.h"
#include "shell.h"
#include "soak.h"

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
  try {
    if (options.command == "load") return RunLoad(options, std::cout);
    if (options.command == "serve") return RunServe(options, std::cout);
    if (options.command == "bench") return RunBench(options, std::cout, std::cerr);
    if (options.command == "shell") return RunShell(options, std::cin, std::cout, std::cerr);
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
