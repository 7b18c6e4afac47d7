// The settings of the push channels that keep a JSON object: each in a Send row of its own, id 4
// and up, Name the channel's name ("ntfy", "telegram", ...), RobotId the settings. Rows 1 to 3
// (Bark, ServerChan, DingTalk) hold plain keys, read by readPushSettings and written by
// updatePushKey; nothing here touches them, so a file stays readable by whatever reads those
// three rows.
#pragma once

#include <map>
#include <string_view>

#include "store/site_database.h"
#include "store/sql.h"
#include "text/text.h"

namespace vesprey {

// Every such row's settings by channel name (the lowest id wins when a name has two rows).
ReadResult readChannelSettings(SqlDatabase& db, std::map<Text, Text>& settings);

// One channel's settings into `settings`; empty when the channel has no row.
ReadResult readChannelSettings(SqlDatabase& db, std::string_view name, Text& settings);

// Stores a channel's settings in its row, adding the row with the next free id (4 or more) when
// the channel has none. The settings are stored as given; merging them with the stored ones is
// the caller's (engine/push.h, updateChannelSettings).
WriteResult saveChannelSettings(SqlDatabase& db, std::string_view name, std::string_view settings);

}  // namespace vesprey
