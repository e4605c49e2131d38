#pragma once
// The URL categories of the list files, each switched on or off by its own
// Block key, in check order. A category's position is the override id of
// its key in match sections (BlockAll takes the next one).
//
// X(id, key, category, on): `id` names the icapd_config member block_<id>,
// its getter and block_id::<id>; `category` is the name the list files
// give in their type; `on` is the key's default.
#define VRX_URL_CATEGORIES(X)                                              \
    X(porno, "BlockPorno", "porno", true)                                  \
    X(violence, "BlockViolence", "violence", true)                         \
    X(weapon, "BlockWeapon", "weapon", true)                               \
    X(gamble, "BlockGamble", "gamble", true)                               \
    X(drugs, "BlockDrugs", "drugs", true)                                  \
    X(obscenity, "BlockObscenity", "obscenity", true)                      \
    X(chats, "BlockChats", "chats", false)                                 \
    X(terrorism, "BlockTerrorism", "terrorism", true)                      \
    X(email, "BlockEmail", "e-mail", false)                                \
    X(social_network, "BlockSocialNetwork", "socialnetwork", false)        \
    X(malware_links, "BlockMalwareLinks", "malware", true)
