#include "sampling.h"

int startSampling(FT_HANDLE device) {
    if (FT_Purge(device, d2xx::purgeRx | d2xx::purgeTx) != d2xx::ok) return 1;
    return FT_RestartInTask(device) != d2xx::ok ? 1 : 0;
}
