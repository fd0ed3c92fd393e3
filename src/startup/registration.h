// Naming the tags of every configured device.
#pragma once

namespace duz {

class Module;

// Names the tags of slots 0..configuredCount-1, raising each count one by one after naming.
void RegisterTags(Module& module);

}  // namespace duz
