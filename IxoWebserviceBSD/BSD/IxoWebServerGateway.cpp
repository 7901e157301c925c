// Kept apart from the other globals so that code which never talks to the gateway
// does not pull it (and its device library) in.
#include "IxoWebServerGlobals.h"

#include "IxoSoap.h"

namespace IxoWebservice {

CIxoSoap g_soap;

}  // namespace IxoWebservice
