// How the last upgrade run ended, for the command-line runner and the tests.
//
// The window shows the same facts only as status texts and message boxes;
// this gives them one name each. Recording an outcome changes no behaviour
// of the run.
#pragma once

enum class RunOutcome {
    None,             // no run since process start
    Running,          // a run is active
    Success,          // the last record was executed ("loader Success!")
    NoScript,         // upgrader.asc could not be loaded ("Open Obj failed!")
    PortOpenFailed,   // FAIL_PORT_OPEN
    WaitTimeout,      // FAIL_WAIT_TIMEOUT
    ReplyTimeout,     // FAIL_REPLY_TIMEOUT
    Format1Refused,   // FAIL_FORMAT1_REPLY
    Format2Refused,   // FAIL_FORMAT2_REPLY
    BadCommand,       // an unrecognised command byte
    MalformedScript,  // a record runs past the end of the script
    WriteFailed,      // a send's payload did not reach the port whole
    Stopped,          // the operator confirmed "STOP?"
};

RunOutcome LastRunOutcome();
void SetRunOutcome(RunOutcome outcome);

// A short English name of an outcome ("Success", "ReplyTimeout" ...).
const char* RunOutcomeName(RunOutcome outcome);
