#pragma once

#include "chrome/UserDefaults.h"

namespace trevok {

// The application's preferences store (the window's own, chrome/UserDefaults.h).
// Keys are used exactly as the rest of the system knows them ("serverID",
// "TS_CustomizedPassword", ...).
inline QSettings userDefaults() {
    return pxUserDefaults();
}

} // namespace trevok
