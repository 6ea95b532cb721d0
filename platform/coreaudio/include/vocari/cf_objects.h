#pragma once

// Accounting of CoreFoundation objects, so tests can prove that every string handed out under
// the Create/Copy rule is released.

namespace vocari {

// Any thread. Strings alive now, not counting the immortal CFSTR constants.
long liveCFStrings();

}  // namespace vocari
