// vexo.hpp compiles on its own: it is the first and only include of this file.
#include <ranges>
#include <vexo/vexo.hpp>

static_assert(std::ranges::input_range<vexo::FrameRange>);
static_assert(std::is_move_constructible_v<vexo::Camera> &&
              !std::is_copy_constructible_v<vexo::Camera>);
static_assert(std::is_nothrow_move_assignable_v<vexo::Camera>);
static_assert(!std::is_copy_constructible_v<vexo::FrameRange>);
