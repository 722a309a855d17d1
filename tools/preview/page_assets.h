// The preview's page, built into the binary (tools/preview/page/index.html): no file is read
// and nothing is fetched from elsewhere, so the page works offline.
#pragma once

#include <string>
#include <string_view>

namespace vexo::tools::preview {

/// The page's HTML as built in.
std::string_view pageTemplate();
/// The page with the preview's token filled in (the page sends it with its requests).
std::string pageHtml(const std::string& token);

}  // namespace vexo::tools::preview
