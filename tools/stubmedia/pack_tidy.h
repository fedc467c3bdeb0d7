// pack's housekeeping around the medium folder: kept apart from the input,
// emptied on request, free of stale forms; and what it tells about the
// result (compression that gains little, space needed on the target).
#pragma once

#include "commands.h"
#include "report.h"

#include <string>

namespace stubmedia {

// An error when one folder lies inside the other (or they are the same):
// the medium would pack itself, or --clean would empty the input.
bool CheckFoldersApart(const std::string& inputDir, const std::string& outputDir, Findings& findings);

// --clean: empties an earlier medium. A folder with files but neither
// autorun.inf nor setup.exe is no medium and is left alone, with an error.
bool CleanMediumFolder(const std::string& dir, Findings& findings);

// Deletes the other form of a package or transform just written (Setup.ms_
// beside Setup.msi, or back): the launcher prefers a plain package, so an old
// one would be installed instead of the new compressed one.
void RemoveOtherForm(const std::string& dir, const PackedFile& file, Findings& findings);

// A note when compressing a package gains under a tenth.
void NoteCompressionGain(const PackedFile& file, Findings& findings);

// The free space the launcher needs in the target's temporary directory: the
// largest package and the largest transform expanded there (a compressed
// medium only), and the eject helper, a copy of setup.exe.
uint64_t TempSpaceNeeded(const PackReport& report);
void NoteTempSpace(PackReport& report);

}  // namespace stubmedia
