#include "base/Exception.h"

// The exception classes are header-only; this file anchors the module.
