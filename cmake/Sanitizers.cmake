# SANITIZE=address,undefined or SANITIZE=thread builds the whole tree with that sanitizer.
set(SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address,undefined or thread")
if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${SANITIZE})
  if(SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
