// The example module: main() greets the console.
function main() {
    console.log("Hello from VELT")
}
