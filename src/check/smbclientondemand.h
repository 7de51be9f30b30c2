#pragma once
// velkor-check does not link libsmbclient: the few functions the share
// listing calls are defined in smbclientondemand.cpp and load the library on
// their first call, so a command without --shares never loads it.
#include <string>

// Why the library or one of its functions could not be loaded; "" when it
// loaded or was never asked for.
std::u16string SmbClientLoadFailure();
