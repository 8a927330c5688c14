// A PUT argument is taken apart at the first blank before which the text names a local file;
// which blanks do that, the input's first four bytes choose (bit k: the k-th blank).
#include "property.h"
#include "put_command.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QString>
#include <cstdint>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto files = input.ConsumeIntegral<std::uint32_t>();
    const QString argument = QString::fromStdString(input.ConsumeRemainingBytesAsString());
    const auto names_file = [files](const QString& local) {
        return (files >> (local.count(u' ') % 32) & 1) != 0;
    };

    qsizetype first_file_blank = -1;
    for (qsizetype blank = argument.indexOf(u' '); blank >= 0 && first_file_blank < 0;
         blank = argument.indexOf(u' ', blank + 1))
        if (names_file(argument.left(blank)))
            first_file_blank = blank;

    const std::optional<put_paths> paths = split_put_argument(argument, names_file);
    REQUIRE(paths.has_value() == (first_file_blank >= 0));
    if (!paths)
        return 0;
    REQUIRE(paths->local == argument.left(first_file_blank));
    REQUIRE(paths->local + u' ' + paths->remote_directory + paths->page == argument);
    REQUIRE(paths->remote_directory.isEmpty() || paths->remote_directory.endsWith(u'/'));
    REQUIRE(!paths->page.contains(u'/'));
    return 0;
}
