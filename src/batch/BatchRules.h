// The batch rules the window and the command line share: how an output is
// named, and which sources get audio-only output (the presets themselves are
// in PresetTable.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestro {

// From an entry text such as "3GPP 176*144 (*.3gp)": the extension begins
// two characters after the first "(" and ends before the first ")"; the
// short name is the text before the first "(" less the character in front
// of it, with every "*" made an "x".
std::string PresetExtension(const std::string& entryText);
std::string PresetShortName(const std::string& entryText);

// The extension of a file name, dot included ("" when it has none).
std::string FileExtension(const std::string& fileName);

// Sources and formats whose extension is one of these get no video.
extern const char* const AudioOnlyExtensions;
// Whole-extension, without regard to case: ".mp3" and ".MP3" are audio-only.
bool IsAudioOnlyExtension(const std::string& extension);
// The output is audio-only when its own extension, or else its source's, is.
bool IsAudioOnlyOutput(const std::string& outputExtension, const std::string& sourceFileName);

// stem (short name).ext, or stem (short name [k]).ext for the first k = 1,
// 2, ... whose file does not exist yet.
std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& shortName,
                             const std::function<bool(const std::string&)>& exists);
std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& shortName);

// Where the output of `source` goes before naming: beside the source, or in
// `outputFolder` under the source's own file name.
std::string OutputBase(bool sameFolder, const std::string& source, const std::string& outputFolder);

// The output folder users get unless they chose another: ~/KestroVideo.
std::string DefaultOutputFolder();

} // namespace kestro
