// RFC 2217 on TCP is served on Windows only for now: a posix test reaches a
// pseudo terminal itself.
#include "line_transport.h"

namespace bcuemu::detail {

std::unique_ptr<LineTransport> CreateTcpTransport() { return nullptr; }

}  // namespace bcuemu::detail
