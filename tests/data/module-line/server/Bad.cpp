// A fixture of the module line check: the server may not use the client datasets.
#include "memdata/RdaCustomDataSet.h"
#include "remotedata/RdaRowPacket.h"
