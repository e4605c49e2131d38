#include "settings/icapd_config.h"

#include "settings/settings_table.h"

icapd_config g_config;

icapd_config::icapd_config()
{
    param_registry registry;
    register_settings(registry, *this);
}

const bool& icapd_config::get_block(int32_t id, const expr_context& ctx) const
{
#define VRX_BLOCK_MEMBER(id, key, category, on) &icapd_config::block_##id,
    static bool icapd_config::* const globals[] = {VRX_URL_CATEGORIES(VRX_BLOCK_MEMBER) &icapd_config::block_all};
#undef VRX_BLOCK_MEMBER
    cf_assert(id >= 0 && id <= block_id::all);
    for (const match_block& block : match_blocks) {
        cf_assert(block.condition);
        if (!block.condition->evaluate(ctx))
            continue;
        if (const bool* value = block.overrides.get<bool>(id))
            return *value;
    }
    return this->*globals[id];
}
