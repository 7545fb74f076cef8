// Array methods: push and pop, sort with a comparison function, indexOf
// and join.
function byValue(a, b) {
    return a - b;
}

function main() {
    var sum = 0;
    for (var round = 0; round < 20; round++) {
        var a = [];
        for (var i = 0; i < 5000; i++) {
            a.push((i * 7919 + round) % 10007);
        }
        a.sort(byValue);
        for (var k = 0; k < 50; k++) {
            sum = (sum + a.indexOf((k * 131) % 10007) + 2) % 1000003;
        }
        var text = a.join(",");
        sum = (sum + text.length) % 1000003;
        while (a.length > 0) {
            sum = (sum + a.pop()) % 1000003;
        }
    }
    console.log(sum);
}
