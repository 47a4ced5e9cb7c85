// Volumes of split images that are not where the set expects them: the user
// is asked for a missing one by name and may browse to it elsewhere; a link
// of the set's own name then leads the library to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kw::app {

class UiServices;

// The first of the continuation volumes of the image at imageHostPath
// ("/x/set.kwi": "/x/set.002", "/x/set.003", ...) that does not exist; the
// volumes of a set are numbered without gaps.
std::string FirstMissingVolume(const std::string& imageHostPath);

// How many files the set of the image at imageHostPath has on disk: the
// image and its continuation volumes up to the first missing one.
int VolumeFilesOf(const std::string& imageHostPath);

// Runs call (a library call on the image at imageHostPath) again while it
// fails because a volume of its set is missing and the user, asked for that
// volume by name, browses to it (a symbolic link at the volume's own path
// then leads to the chosen file; the log names it); 7 when the user
// cancelled, else call's code.
int32_t WithMissingVolumes(UiServices& ui, const std::string& imageHostPath,
                           const std::function<int32_t()>& call);

} // namespace kw::app
