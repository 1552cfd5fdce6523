// The files of the page that 'krzpap ui' serves, built into the program (UiAssets.cpp is
// generated from tools/krzpap/ui at build time), so that nothing is read from disk or the network.
#pragma once

#include <cstddef>
#include <string>

namespace krzpap {

struct UiAsset {
    const char* path;  // as requested, e.g. "/app.js"
    const char* type;  // Content-Type
    const unsigned char* data;
    size_t size;
};

extern const UiAsset kUiAssets[];
extern const size_t kUiAssetCount;

// The asset served at `path` ("/" is index.html); null when there is none.
inline const UiAsset* findUiAsset(const std::string& path) {
    const std::string wanted = path == "/" ? "/index.html" : path;
    for (size_t i = 0; i < kUiAssetCount; ++i)
        if (wanted == kUiAssets[i].path)
            return &kUiAssets[i];
    return nullptr;
}

}  // namespace krzpap
