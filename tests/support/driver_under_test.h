// Test support: the driver a suite runs. The compiled-in driver, or, in an image host's build
// of the suites, the kernel image it was configured with (TESSACOM_SYS_IMAGE, by default
// build/nt/tessacom.sys in the 32-bit host and build/nt-x64/tessacom.sys in the x64 image
// host), mapped by the host's image loader for as long as the object lives.
// Black-box suites reach the driver's entry, globals and the routines they drive through
// Driver(), so that they run unchanged against either.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver_binding.h"

namespace testsupport {

class DriverUnderTest {
 public:
  DriverUnderTest();
  ~DriverUnderTest();
  DriverUnderTest(const DriverUnderTest&) = delete;
  DriverUnderTest& operator=(const DriverUnderTest&) = delete;

  const tessacom::DriverBinding& Driver() const { return *driver_; }

 private:
  std::unique_ptr<tessacom::DriverImage> image_;
  const tessacom::DriverBinding* driver_;
};

// The kernel image the suites run, or empty when they run the compiled-in driver.
std::string ImageUnderTest();
// The tessacom program's arguments that run the same driver: "--image FILE", or none.
std::vector<std::string> ProgramDriverArguments();

}  // namespace testsupport
