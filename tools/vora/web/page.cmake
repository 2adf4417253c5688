# The page of `vora view` (included by tools/vora/CMakeLists.txt, so that its
# generated source belongs to the vora target's directory): npm packages
# installed from the committed lock file into the build folder, the code
# bundled with esbuild, the result turned into a source file of the tool.
# Without Node.js and npm the tool serves a page that says what is missing.
set(vora_web_source ${CMAKE_CURRENT_LIST_DIR})
set(vora_web_build ${PROJECT_BINARY_DIR}/web)
find_program(VORA_NODE node)
find_program(VORA_NPM npm)
if(NOT VORA_NODE OR NOT VORA_NPM)
  message(WARNING "vora view: node or npm not found; the tool is built without its page")
  target_sources(vora PRIVATE ${vora_web_source}/assets_missing.cpp)
  return()
endif()
file(MAKE_DIRECTORY ${vora_web_build})
add_custom_command(
  OUTPUT ${vora_web_build}/node_modules/.package-lock.json
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${vora_web_source}/package.json ${vora_web_source}/package-lock.json
          ${vora_web_build}
  COMMAND ${VORA_NPM} ci --no-audit --no-fund --loglevel=error
  WORKING_DIRECTORY ${vora_web_build}
  DEPENDS ${vora_web_source}/package.json ${vora_web_source}/package-lock.json
  COMMENT "Installing the npm packages of vora view's page"
  VERBATIM)
file(GLOB vora_web_files CONFIGURE_DEPENDS ${vora_web_source}/src/*.js ${vora_web_source}/*.html
     ${vora_web_source}/*.css)
add_custom_command(
  OUTPUT ${vora_web_build}/view_assets.cpp
  COMMAND ${VORA_NODE} ${vora_web_source}/build.mjs ${vora_web_source} ${vora_web_build}
  DEPENDS ${vora_web_files} ${vora_web_source}/build.mjs ${vora_web_build}/node_modules/.package-lock.json
  COMMENT "Bundling vora view's page"
  VERBATIM)
target_sources(vora PRIVATE ${vora_web_build}/view_assets.cpp)
