# Copies the generated stub INPUT to OUTPUT with its one-element tuples
# written as tuples: nanobind's stub generator writes ("r",) as ('r'), a
# parenthesised string, so that `__match_args__` of the one-field elements
# would read as a str to type checkers.
file(READ "${INPUT}" text)
string(REGEX REPLACE "= \\(('[^'\n]*')\\)\n" "= (\\1,)\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
