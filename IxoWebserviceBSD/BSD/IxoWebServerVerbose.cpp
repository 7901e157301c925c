#include "IxoWebServerGlobals.h"

namespace IxoWebservice {

bool v = false;

}  // namespace IxoWebservice
