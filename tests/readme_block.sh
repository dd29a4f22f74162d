# Sourced by the recipe tests: readme_block FILE START prints the first fenced
# code block (``` lines) after the first line of FILE that starts with START,
# without its fences, as a reader would copy it.
readme_block() {
  awk -v start="$2" 'index($0, start) == 1 { found = 1; next }
                     found && !inside && /^```/ { inside = 1; next }
                     inside && /^```/ { exit }
                     inside { print }' "$1"
}
