#include "app/builtin.hpp"
#include "app/launcher_app.hpp"

int main() {
    return vorlia::runLauncher(vorlia::builtInConfig());
}
