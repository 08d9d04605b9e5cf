#!/usr/bin/env python3
"""The layering check on small trees: upward includes fail with the offending line, downward
and same-folder includes pass, template bodies are private to their instantiating files, and an
include not relative to the root fails."""
import pathlib
import subprocess
import sys
import tempfile

SCRIPT = sys.argv[1]


def run(files):
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        done = subprocess.run([sys.executable, SCRIPT, "--root", str(root)], capture_output=True, text=True)
        return done.returncode, done.stderr


def expect(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)


rc, err = run({
    "swtable/TcamActionSwTable.cpp": '#include "swtable/TcamActionSwTable.h"\n#include "entrylog/TcamEntryLog.h"\n'
                                     '#include "contracts/inlif/InLifIndexResourceTable.h"\n#include <vector>\n',
    "linkage/Linkage.cpp": '#include "swtable/TcamActionSwTable.h"\n',
    "contracts/asic/GenId.cpp": '#include "contracts/ledra/EntityManager.h"\n',
    "tests/AnyTest.cpp": '#include "agent/runtime/Runtime.h"\n',
})
expect(rc == 0, "downward includes pass: " + err)

rc, err = run({"swtable/TcamActionSwTable.cpp": '// a comment\n#include "linkage/TcamActionResourceTableLinkage.h"\n'})
expect(rc == 1, "swtable including linkage fails")
expect('swtable/TcamActionSwTable.cpp:2: swtable may not include "linkage/TcamActionResourceTableLinkage.h"' in err, err)

rc, err = run({"contracts/ledra/EntityManager.cpp": '#include "contracts/asic/GenId.h"\n',
               "contracts/shm/Environment.h": '  #  include "contracts/types/TcamTessel.h"\n',
               "entrylog/X.h": '#include "contracts/inlif/InLifIndexResourceTable.h"\n'})
expect(rc == 1 and err.count("may not include") == 3, "ledra->asic, shm->types and entrylog->inlif fail: " + err)

rc, err = run({"agent/view/StoredView.cpp": '#include "agent/runtime/Runtime.h"\n',
               "python/vorn_tcam.cpp": '#include "agent/view/StoredView.h"\n#include "interface/TcamMgr.h"\n',
               "agent/runtime/Runtime.h": '#include "agent/view/AgentSetup.h"\n#include "interface/TcamMgr.h"\n'})
expect(rc == 1 and err.count("may not include") == 2 and "agent/view may not include" in err and
       "python may not include \"interface/TcamMgr.h\"" in err, "view->runtime and python->interface fail: " + err)

# Template bodies: the instantiating file may include them, a test or another source may not.
rc, err = run({"swtable/TcamSwTable.cpp": '#include "swtable/internal/Members-defs.h"\n',
               "swtable/internal/Members-defs.h": '#include "swtable/internal/Read-defs.h"\n',
               "swtable/SwTableIter.cpp": '#include "swtable/internal/Read-defs.h"\n',
               "tests/swtable/T.cpp": '#include "entrylog/internal/EntryLogT-defs.h"\n'})
expect(rc == 1 and err.count("is private to") == 2 and "swtable/SwTableIter.cpp:1:" in err and
       "tests/swtable/T.cpp:1:" in err, "internal includes outside the instantiating files fail: " + err)

rc, err = run({"interface/X.cpp": '#include "X.h"\n'})
expect(rc == 1 and "not relative to the project root" in err, err)
print("ok")
