// The volatile HARDWARE hive, filled from the host (registry_host.cpp; not
// part of the Win32 surface).
#pragma once

namespace tw::reg {

// Fills the volatile HARDWARE hive from the host; called once per database
// open, outside any transaction, with the lock held.
void RefreshHostHive();

} // namespace tw::reg
