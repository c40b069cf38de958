#include "app/component_digests.h"

#include "platform/win32_platform.h"

SORVAN_CONSTINIT const CComponentDigests g_componentDigests = {SORVAN_DIGESTS_MARKER, 0, {}};
