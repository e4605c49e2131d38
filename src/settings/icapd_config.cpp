#include "settings/icapd_config.h"

icapd_config g_config;

template <class T>
const T& icapd_config::overridden(int32_t id, const T& global, const expr_context& ctx) const
{
    for (const match_block& block : match_blocks) {
        cf_assert(block.condition);
        if (!block.condition->evaluate(ctx))
            continue;
        if (const T* value = block.overrides.get<T>(id))
            return *value;
    }
    return global;
}

#define VRX_BLOCK_GETTER(key)                                                       \
    const bool& icapd_config::get_block_##key(const expr_context& ctx) const        \
    {                                                                               \
        return overridden(block_id::key, block_##key, ctx);                         \
    }

VRX_BLOCK_GETTER(porno)
VRX_BLOCK_GETTER(violence)
VRX_BLOCK_GETTER(weapon)
VRX_BLOCK_GETTER(gamble)
VRX_BLOCK_GETTER(drugs)
VRX_BLOCK_GETTER(obscenity)
VRX_BLOCK_GETTER(chats)
VRX_BLOCK_GETTER(terrorism)
VRX_BLOCK_GETTER(email)
VRX_BLOCK_GETTER(social_network)
VRX_BLOCK_GETTER(malware_links)
VRX_BLOCK_GETTER(all)
