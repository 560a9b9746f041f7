// The built-in catalogue of the programs this agent serves.
#pragma once

#include "common/callbacks.h"
#include "settings/programs.h"

namespace dorvex {

// Fills a list with the catalogue's rows, in the catalogue's order.
void AddCatalogueRows(TProgramList& list);

// Makes the one program list of the run, gives every program the window's report hooks and
// loads the user's delivery list into it. Does nothing when the list exists already.
void BuildCatalogue(TrafficHandler onTraffic, ConnectionHandler onConnectionState, MessageHandler onMessage);

}  // namespace dorvex
