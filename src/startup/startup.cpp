#include "host/module.h"

namespace duz {

// The start-up sequence arrives with the configuration file, discovery and the dialog.
void Module::runStartup() {}

}  // namespace duz
