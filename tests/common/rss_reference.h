// The RSS run done step by step with the map operations, one camera-sized
// pass per step and input, exactly in the order the steps are listed. Tests
// hold the tool's run against it.
#pragma once

// Same settings, inputs, console output, output file and result as rss_run.
bool rss_reference_run();
