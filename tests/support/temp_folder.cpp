#include "support/temp_folder.hpp"

#include "base/handle.hpp"

#include <stdexcept>
#include <system_error>

namespace vorlia::test {

TempFolder::TempFolder() {
    GError* raw = nullptr;
    const GText made(g_dir_make_tmp("vorlia-test-XXXXXX", &raw));
    if (!made) {
        const Handle<GError> error(raw);
        throw std::runtime_error(std::string("cannot make a temporary folder: ") + error->message);
    }
    path_ = made.get();
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Tests make read-only folders too: give the owner its rights back first.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

} // namespace vorlia::test
