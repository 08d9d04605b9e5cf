#pragma once
// The member definitions of EntryLogT, included only by the files that instantiate it.
#include "entrylog/EntryLogCleanup-defs.h"
#include "entrylog/EntryLogMount-defs.h"
#include "entrylog/EntryLogOps-defs.h"
