#include "protocol/PrepareCache.h"

namespace QUORVEL {

PrepareCache& PrepareCache::process() {
    static PrepareCache cache;
    return cache;
}

} // namespace QUORVEL
