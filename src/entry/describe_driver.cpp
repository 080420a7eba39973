#include "entry/operations.h"

namespace qel {
namespace {

constexpr char kDriverName[] = "Instabus EIB";

// Boxed banner in code page 437: CR LF, then three 53-byte box lines each
// padded with 12 spaces and ended by CR LF.
constexpr char kBanner[] =
    "\r\n"
    "\xDA---------------------------------------\xBF            \r\n"
    "\xB3 SIEMENS instabus EIB system VER. 7:50 \xB3            \r\n"
    "\xC0---------------------------------------\xD9            \r\n";
static_assert(sizeof(kBanner) - 1 == 167);

}  // namespace

Result DescribeDriver(RequestBlock* request) {
    if (request->params == nullptr) return Result::kFailed;
    auto* description = static_cast<DriverDescription*>(request->params);
    description->word0 = 82;
    description->driverName = kDriverName;
    description->banner = kBanner;
    description->instanceSize = sizeof(InstanceData);
    description->word16 = kLastInstanceNumber;
    description->line = LineSettings{9600, 8, 0, 0};
    description->word28 = 0;
    return Result::kDone;
}

}  // namespace qel
