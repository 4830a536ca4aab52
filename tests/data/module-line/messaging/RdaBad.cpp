// A fixture of the module line check: messaging reaching up to memdata.
#include "base/ByteIO.h"
#include "messaging/RdaStringLine.h"
#include "memdata/framework/Field.h"
