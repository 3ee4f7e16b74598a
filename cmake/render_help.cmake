# Runs cmark on the README and wraps its body in a complete HTML page.
execute_process(COMMAND ${CMARK} ${INPUT} OUTPUT_VARIABLE body RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmark failed on ${INPUT}")
endif()
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Ebbmark help</title>
<style>body{font-family:sans-serif;max-width:50em;margin:2em auto;padding:0 1em;line-height:1.45}
pre,code{background:#f3f3f3}pre{padding:.6em;overflow:auto}</style></head><body>
${body}</body></html>
")
