// The program's own variables, seen from the simulator: a handset runs the program as a fresh
// process would, even when one host process runs many handsets one after another.
#pragma once

namespace sim {

// Sets every variable the program keeps at file scope back to the value it has when the
// program is loaded. Called by each Handset before it runs the program.
void ResetProgramImage();

}  // namespace sim
