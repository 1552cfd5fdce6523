// The resource library's numbered texts: the frames and character descriptions that make up
// the requirement sentences for user names, passwords and network names.
#include "platform/krzstringtable.h"

extern "C" __attribute__((visibility("default"))) const KRZStringTableEntry krzStringTable[] = {
    {527, L"The user name may contain %s."},
    {528, L"The password may contain %s."},
    {529, L"The network name (SSID) may contain %s."},
    {530, L"letters and digits"},
    {531, L"letters, digits and spaces"},
    {532, L"letters, digits and the symbols %s"},
    {533, L"letters, digits, spaces and the symbols %s"},
    {0, nullptr},
};
