// The program module: the command-line front end and its two jobs.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

class TPEResourceModule;
class TResModule;

// Ends the process with a status once every module on the way out has been freed.
struct TProcessExit {
  int status;
};

// params[0] is the full path of the running executable; the rest are the
// command-line arguments. Gives the exit status.
int RunProgram(const std::vector<std::u16string>& params);

// acceptPE32Plus, the -64 switch: without it a PE32+ image is refused like any other
// image that is not PE32.
void ExtractResources(const std::u16string& srcImage, const std::u16string& destRes, bool acceptPE32Plus = false);
// Returns only on success: a missing input or a failure before the merge is done
// ends the process (TProcessExit); a failure while the destination is written is raised.
bool CombineResources(const std::u16string& dest, const std::u16string& srcImage, const std::u16string& resFile,
                      bool templateMode, const std::u16string& templatePath, bool acceptPE32Plus = false);

// The merge of the combination jobs: each resource of res replaces the bytes of the
// image resource with its type, name and language (or language 0), or is added.
void MergeInto(TPEResourceModule& image, TResModule& res);

}  // namespace tolvane
