#include "link/link.h"

namespace qel {

const LinkMethods& LinkOf(uint32_t handle) {
    const Link* link = LinkObjectOf(handle);
    return link != nullptr ? *link->methods : kHandshakeLine;
}

}  // namespace qel
