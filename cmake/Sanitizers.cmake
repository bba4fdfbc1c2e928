# NOTAVERO_SANITIZE applies to every target of the tree, GoogleTest included,
# so that instrumented and plain code never mix inside one test binary.
if(NOTAVERO_SANITIZE)
  add_compile_options(-fsanitize=${NOTAVERO_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${NOTAVERO_SANITIZE})
  if(NOTAVERO_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
