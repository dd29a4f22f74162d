// vandrel: frames a 24-bit BMP picture, centred and unchanged, on a square
// mid-grey canvas sized from the picture's diagonal, and writes it as
// "<side>x<side>_<name>.bmp".
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "canvas/canvas.h"
#include "cli/options.h"
#include "cli/run_end.h"
#include "os/arguments.h"
#include "os/output_file.h"

int main(int argc, char** argv) {
  report_write_failures_as_errors();  // a closed pipe or a size limit must not end the run
  // The arguments as text: on Windows, whatever the console's code page.
  const std::vector<std::string> arguments = program_arguments(argc, argv);
  std::vector<const char*> text_argv;
  for (const std::string& argument : arguments) text_argv.push_back(argument.c_str());
  origin_size origin;
  if (text_argv.size() < 2) {
    print_usage();
    return 0;
  }
  run_options options;
  parse_options(static_cast<int>(text_argv.size()), text_argv.data(), options, origin);

  // Each phase ends the run itself, with its message, when it cannot go on.
  try {
    // The reader gives its planes room for the canvas; the flip and the
    // composition then work in them, so the picture's memory is obtained
    // once and each phase hands it on to the next.
    planar_image upright = flip_rows(read_bmp24(options.input_path));  // row 0 at the top
    // The reader refuses any picture whose canvas would not fit a BMP file,
    // so the side fits comfortably in 32 bits.
    const auto side = static_cast<int32_t>(canvas_side(upright.width, upright.height));
    const planar_image canvas = compose_on_grey(std::move(upright), side);

    options.output_name = make_output_name(canvas.width, canvas.height, options.output_name);
    write_bmp24(canvas, options.output_name);
  } catch (const std::bad_alloc&) {  // a small allocation (a name) was refused
    end_run(run_failure::memory_alloc);
  }
  return 0;
}
