#pragma once
// The member definitions of EntryLogT, included only by the files that instantiate it.
#include "entrylog/internal/EntryLogCleanup-defs.h"
#include "entrylog/internal/EntryLogMount-defs.h"
#include "entrylog/internal/EntryLogOps-defs.h"
