# Warnings for every target of the project; CI adds -Werror.
add_compile_options(
  -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor
  -Woverloaded-virtual -Wformat=2)
if(VUMO_WERROR)
  add_compile_options(-Werror)
endif()
