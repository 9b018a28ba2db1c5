#include "base/SysErrText.h"

#include <cstring>

// GNU strerror_r: returns the text, which may be a static one rather than buf.
SysErrText::SysErrText(int err) : buf{}, text(strerror_r(err, buf, sizeof(buf))) {}
