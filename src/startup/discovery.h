// The bus search: probes addresses 1..searchLimitText, recognises the supported instruments and fills
// one DeviceConfig record per device found, in address order, showing its progress in the dialog.
#pragma once

namespace duz {

class Module;
class TForm2;

// Searches on the open port and closes it at the end. currentDevice and configuredCount become the
// number of devices recorded; records from there on are left as they were.
void DiscoverDevices(Module& module, TForm2& form);

// The highest address to probe: the decimal value of the limit text, 0 when it holds no number, at
// most 31.
int searchLimit(const char* limitText);

}  // namespace duz
