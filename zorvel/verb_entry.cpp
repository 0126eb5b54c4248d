// The node's verb entry points: thin C wrappers over the engine in use.
#include "node/verb_entry.h"
#include "zorvel/scripted_engine.h"

namespace zv {

// The scripted engine is the only one so far; another engine would be
// chosen here, leaving the entry points and the services untouched.
VerbEngine &verb_engine() { return scripted_engine(); }

} // namespace zv

extern "C" NODE_API uint16_t appc_c_version(uint32_t version, void *vcb)
{
    return zv::verb_engine().appc(version, vcb);
}

extern "C" NODE_API uint16_t appc_c_async_version(uint32_t version, void *vcb, APPC_CALLBACK callback,
                                                  uint32_t user)
{
    return zv::verb_engine().appc_async(version, vcb, callback, user);
}

extern "C" NODE_API uint16_t nof_version(uint32_t version, uint32_t target, void *record)
{
    return zv::verb_engine().nof(version, target, record);
}
