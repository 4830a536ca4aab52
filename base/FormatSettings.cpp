#include "base/FormatSettings.h"

namespace rda {

FormatSettings& DefaultFormatSettings() {
  static FormatSettings settings;
  return settings;
}

}  // namespace rda
