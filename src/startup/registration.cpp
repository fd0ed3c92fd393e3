#include "startup/registration.h"

#include "host/module.h"

namespace duz {

// Tags are named once the catalogue's patterns are in place.
void RegisterTags(Module&) {}

}  // namespace duz
