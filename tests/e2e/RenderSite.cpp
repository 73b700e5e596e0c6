// Prints the laravel server block of the library for one site:
//   vesk-render-site DOMAIN ROOT PHP_SOCKET
#include <iostream>

#include "vesk/sites/NginxTemplate.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: vesk-render-site DOMAIN ROOT PHP_SOCKET\n";
        return 2;
    }
    std::cout << vesk::NginxTemplate::laravel().render(
                     {{"domain", argv[1]}, {"root", argv[2]}, {"php_socket", argv[3]}})
              << "\n";
    return 0;
}
