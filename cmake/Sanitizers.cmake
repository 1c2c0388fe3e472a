# TB_SANITIZE applies to everything built in this tree.
if(TB_SANITIZE)
  add_compile_options(-fsanitize=${TB_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=${TB_SANITIZE})
endif()
