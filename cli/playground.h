// `velmo-image-tools playground`: a local web page that drives the plug-in through its
// channel, for trying recipes in a browser.
//
// The server listens on 127.0.0.1 only. Every call the page makes ("metadata", "render",
// "tile") is encoded with the standard method codec and sent over "velmo/image_tools" to the
// same engine and plug-in an app would use, so it runs on the plug-in's one worker. The
// server reads only inside its root folder and its own private temporary folders, writes only
// into its output folder, and serves only the page's own files and the outputs it made, to
// the holder of the token it printed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmo::cli {

struct PlaygroundOptions {
  int port = 0;      // 0 picks a free port
  std::string root;  // empty: the repository's examples folder
};

// Uploads larger than this are refused before they are written anywhere.
inline constexpr size_t kPlaygroundMaxUpload = 40u << 20;

// Runs the server until SIGINT or SIGTERM; prints "Open http://127.0.0.1:PORT/?token=TOKEN"
// once it listens (the token is asked of every request), then where photos come from and
// outputs go. Returns the exit status (0, or 2 when the root or the port is unusable).
int playground(const PlaygroundOptions& options);

// The page's files, built into the program (generated from cli/playground/ at build time).
struct PlaygroundAsset {
  const char* name;  // "index.html", "app.js", ...
  const unsigned char* data;
  size_t size;
};
extern const PlaygroundAsset kPlaygroundAssets[];
extern const size_t kPlaygroundAssetCount;

// ---- checks the server makes before the plug-in sees a request (pure, for tests) --------

// The image format of |bytes| by its signature: "jpg", "png", "gif", "webp", "heic", "avif",
// or empty when it is none of them.
std::string sniffImageType(std::string_view bytes);

// |text| with %XX escapes decoded (a malformed escape is kept as it is).
std::string percentDecode(std::string_view text);

}  // namespace velmo::cli
