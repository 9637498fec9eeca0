#pragma once

// How a run of RunUpload ended, so that a front end (gathra-collect's exit code) need not read it from
// the status text. With automatic start it is the outcome of the last upload of the run.
enum class RunOutcome {
    Stored,            // the last upload was stored (and mailed when asked)
    Failed,            // the last upload failed: bad lines, time-out, a store or mail failure
    StoppedIdle,       // stopped while waiting for a terminal, no upload in progress
    StoppedMidUpload,  // stopped while an upload was in progress: the terminal got "CAN"
    PortNotOpened,     // the port could not be opened (or the link library could not be loaded)
    DatabaseMissing,   // the database check failed before the port was touched
};
