#include "support/driver_under_test.h"

namespace testsupport {

std::string ImageUnderTest() {
#if defined(TESSACOM_IMAGE_UNDER_TEST)
  return TESSACOM_IMAGE_UNDER_TEST;
#else
  return {};
#endif
}

DriverUnderTest::DriverUnderTest()
    : image_(ImageUnderTest().empty() ? nullptr : std::make_unique<tessacom::DriverImage>(ImageUnderTest())),
      driver_(image_ ? &image_->Binding() : &tessacom::CompiledInDriver()) {}

DriverUnderTest::~DriverUnderTest() = default;

std::vector<std::string> ProgramDriverArguments() {
  if (ImageUnderTest().empty()) return {};
  return {"--image", ImageUnderTest()};
}

}  // namespace testsupport
