# Warnings and sanitizers for every target of the project, set once here.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(ANEMOBUS_WERROR)
  add_compile_options(-Werror)
endif()
if(ANEMOBUS_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# Asio without Boost, and without its deprecated interfaces.
add_compile_definitions(ASIO_STANDALONE ASIO_NO_DEPRECATED)
