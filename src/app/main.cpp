#include "app/application.hpp"

int main() {
    return pellan::runApplication();
}
