# Runs the tool once per generated document: cmake -DTOOL=... -DOUT_DIR=... -P generate_docs.cmake
# (a script, so that no shell redirection is needed and a failure stops the build).
foreach(job "clscrypt.1;--generate-man" "clscrypt.bash;--generate-completions;bash"
        "_clscrypt;--generate-completions;zsh" "clscrypt.fish;--generate-completions;fish")
    list(POP_FRONT job file)
    execute_process(COMMAND ${TOOL} ${job} OUTPUT_FILE ${OUT_DIR}/${file}.new RESULT_VARIABLE status
                    ERROR_VARIABLE message)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "clscrypt ${job}: ${message}")
    endif()
    file(RENAME ${OUT_DIR}/${file}.new ${OUT_DIR}/${file})
endforeach()
