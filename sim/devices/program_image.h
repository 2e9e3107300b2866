// The program's own variables, seen from the simulator: a handset runs the program as a fresh
// process would, even when one host process runs many handsets one after another, and each
// instance of the program running on one handset has a copy of them of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

// Sets every variable the program keeps at file scope back to the value it has when the
// program is loaded. Called by each Handset before it runs the program.
void ResetProgramImage();

// The bytes of every variable the program keeps at file scope, as one process of the program has
// them. Only one process's variables are in place at a time: switching to another process saves
// those in place into their owner's image and puts the other's in place.
class ProgramImage {
 public:
  // The variables as they are in place now (after ResetProgramImage: as a fresh process has them).
  static ProgramImage Capture();
  // Puts this image's variables in place.
  void Restore() const;

 private:
  std::vector<std::byte> bytes_;
  friend class ImageWatch;
};

// Which variables in place a step changed: what differs from a copy taken when the step began or
// when the variables were put in place. Only runs that record footprints keep one.
class ImageWatch {
 public:
  // Takes the copy anew from the variables in place.
  void Rebase();
  // Calls `written(i)` for each variable (its index in the program's table) whose bytes differ
  // from the copy, then brings the copy up to date. Without a copy yet, only takes one.
  void Report(const std::function<void(std::uint32_t)>& written);

 private:
  ProgramImage base_;
};

}  // namespace sim
